# Near-separation: mlmRev's guPrenat (Rodriguez & Goldman 2001, prenatal care in
# Guatemala) as a probit GLMM with mothers nested in communities,
#   prenat ~ childAge + motherAge + birthOrd + indig + momEd + husEd + husEmpl + toilet +
#            TV + pcInd81 + ssDist + (1 | mom) + (1 | cluster),
# where most mothers have one or two children and many have all of them in one class,
# so the mothers' standard deviation runs off and fitted probabilities reach 0 and 1.
#
# birthOrd is an ordered factor in R (polynomial contrasts); it is written here as its
# plain text levels and fitted as factor(birthOrd, ordered = FALSE), treatment contrasts
# with "1" the reference, so every program fits the same model.
#
# Written: guprenat.csv and guprenat.json with
# - glmer's default fit (Laplace, its warnings and evaluation count);
# - glmmTMB's fit (the exact Laplace approximation without any clamp on eta);
# - both programs' Laplace -2 log-likelihood at fixed points (theta, beta): lme4's
#   deviance function (glmer(..., devFunOnly = TRUE), PIRLS on u at that beta, with
#   binomial(probit)'s clamp of eta to +-qnorm(DBL_EPSILON)) and glmmTMB's objective
#   (-2 obj$fn, inner Newton on the random effects, Phi without a clamp); with the
#   number of rows whose conditional eta is beyond the clamp at lme4's modes.
#
#   Rscript tests/data/glmm/make_guprenat_reference.R   (from the repository's root)
suppressPackageStartupMessages({
  library(lme4)
  library(glmmTMB)
  library(jsonlite)
})
out <- file.path("tests", "data", "glmm")
data(guPrenat, package = "mlmRev")
cols <- c("prenat", "childAge", "motherAge", "birthOrd", "indig", "momEd", "husEd", "husEmpl",
          "toilet", "TV", "pcInd81", "ssDist", "mom", "cluster")
d0 <- guPrenat[, cols]
d0$birthOrd <- factor(d0$birthOrd, ordered = FALSE)
write.csv(d0, file.path(out, "guprenat.csv"), row.names = FALSE)
levels_of <- lapply(Filter(is.factor, d0), levels)
# the fits are made from the CSV as read back
d <- read.csv(file.path(out, "guprenat.csv"), colClasses = "character")
for (col in names(d))
  d[[col]] <- if (col %in% names(levels_of)) factor(d[[col]], levels = levels_of[[col]]) else as.numeric(d[[col]])

formula <- prenat ~ childAge + motherAge + birthOrd + indig + momEd + husEd + husEmpl + toilet + TV +
  pcInd81 + ssDist + (1 | mom) + (1 | cluster)
fam <- binomial(link = "probit")
clamp <- -qnorm(.Machine$double.eps)
f17 <- function(x) sprintf("%.17g", x)

warns <- character(0)
g <- withCallingHandlers(glmer(formula, d, family = fam),
                         warning = function(w) { warns <<- c(warns, conditionMessage(w)); invokeRestart("muffleWarning") })
stopifnot(names(getME(g, "theta"))[1] == "mom:(Intercept)" || grepl("^mom", names(getME(g, "theta"))[1]))
glmer_block <- list(m2loglik = f17(-2 * as.numeric(logLik(g))), theta = f17(getME(g, "theta")),
                    theta_names = names(getME(g, "theta")), beta = f17(fixef(g)), beta_names = names(fixef(g)),
                    feval = g@optinfo$feval, warnings = warns)

tmb <- glmmTMB(formula, d, family = fam)
sds <- sapply(VarCorr(tmb)$cond, function(v) sqrt(v[1, 1]))
tmb_block <- list(m2loglik = f17(-2 * as.numeric(logLik(tmb))), sd = f17(sds), sd_names = names(sds),
                  beta = f17(fixef(tmb)$cond), beta_names = names(fixef(tmb)$cond),
                  convergence = tmb$fit$convergence, pdHess = tmb$sdr$pdHess)
stopifnot(identical(names(sds), c("mom", "cluster")))

df <- glmer(formula, d, family = fam, devFunOnly = TRUE)
env <- environment(df)
lme4_at <- function(theta, beta) {
  v <- df(c(theta, beta))
  eta <- env$resp$eta
  list(m2ll = v, clamped = sum(abs(eta) > clamp), max_abs_eta = max(abs(eta)))
}
tmb_at <- function(sd, beta) 2 * tmb$obj$fn(c(beta, log(sd)))

beta_l <- fixef(g)
theta_l <- unname(getME(g, "theta"))
beta_t <- unname(fixef(tmb)$cond)
pts <- list(list(label = "glmer optimum", sd = theta_l, beta = unname(beta_l)),
            list(label = "glmmTMB optimum", sd = unname(sds), beta = beta_t))
for (s in c(0.5, 1, 2, 5))
  pts[[length(pts) + 1]] <- list(label = sprintf("mom sd %g at glmer's beta", s), sd = c(s, theta_l[2]),
                                 beta = unname(beta_l))
points <- lapply(pts, function(p) {
  l <- lme4_at(p$sd, p$beta)
  list(label = p$label, sd = f17(p$sd), beta = f17(p$beta), lme4_m2ll = f17(l$m2ll), glmmTMB_m2ll = f17(tmb_at(p$sd, p$beta)),
       lme4_rows_beyond_clamp = l$clamped, lme4_max_abs_eta = f17(l$max_abs_eta))
})
print(do.call(rbind, lapply(points, function(p) c(p$label, p$lme4_m2ll, p$glmmTMB_m2ll, p$lme4_rows_beyond_clamp))))

res <- list(data = "guprenat.csv", rows = nrow(d), factors = levels_of,
            formula = paste(deparse(formula, width.cutoff = 500), collapse = ""), family = "binomial", link = "probit",
            contrasts = "treatment for every factor, birthOrd unordered with reference level 1",
            probit_clamp = f17(clamp), glmer = glmer_block, glmmTMB = tmb_block, points = points,
            `_meta` = list(lme4 = as.character(packageVersion("lme4")),
                           glmmTMB = as.character(packageVersion("glmmTMB")), R = R.version.string))
writeLines(toJSON(res, auto_unbox = TRUE, pretty = TRUE, digits = NA), file.path(out, "guprenat.json"))
