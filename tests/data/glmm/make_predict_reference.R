# Peers' predictions with standard errors of GLMM fits: glmmTMB's predict(se.fit = TRUE)
# at the population level (re.form = NA) and conditional on the random effects
# (re.form = NULL), on the link and the response scale, and lme4's glmer binomial
# predictions with the variance x0' V x0 of the population-level linear predictor.
#
#   Rscript tests/data/glmm/make_predict_reference.R    (from the repository's root)
#
# The models are make_dispersion_reference.R's, on its CSVs (Salamanders' negative
# binomial, zero-inflated Poisson and hurdle negative binomial, sleepstudy's Gamma with
# log and inverse links), and make_reference.R's cbpp binomial. Writes tests/data/glmm/predict_reference.json; every
# double is a string of 17 significant digits.
#
# Three standard errors of a conditional prediction are written:
# - se_cond: glmmTMB's own (TMB's sdreport: Var(b | y) from the inner Hessian plus the
#   delta method over every fixed parameter, theta and the dispersion included, with the
#   modes' total derivatives in them; Kass & Steffey 1989);
# - se_cond_beta: the same sdreport with the fixed parameters' covariance restricted to
#   beta's block of vcov (theta, the dispersion and the zero-inflation held at their
#   estimates): Var(b | y) at the modes plus the delta method over beta alone, the
#   modes moving with beta. glmmTMB computes it when predict's Hessian of the fixed
#   parameters is replaced by the inverse of blockdiag(vcov(beta), 1e-10 min(diag(vcov(beta))) I).
# - for glmer, the same quantity from lme4's pieces: x0'C x0 + z0'K z0 + u'C u - 2 x0'C u
#   with C = vcov(fit), K the group's postVar and u = X_i'W_i Z_i K z0 (W the working
#   weights at the modes).
suppressPackageStartupMessages({
  library(glmmTMB)
  library(lme4)
  library(jsonlite)
})
out <- file.path("tests", "data", "glmm")
s17 <- function(x) ifelse(is.finite(x), sprintf("%.17g", unname(as.numeric(x))),
                          ifelse(is.na(x), NA_character_, ifelse(x > 0, "Inf", "-Inf")))
read_data <- function(name, factors) {
  d <- read.csv(file.path(out, name), colClasses = setNames(rep("character", length(factors)), factors))
  for (f in factors) d[[f]] <- factor(d[[f]])
  d
}
frame_json <- function(nd) lapply(nd, function(v) if (is.numeric(v)) I(s17(v)) else I(as.character(v)))
levels_json <- function(d, factors) setNames(lapply(factors, function(f) I(levels(d[[f]]))), factors)
# nlminb's relative tolerance, tightest first: the first at which it converges without a
# warning is kept, else glmmTMB's default control (make_dispersion_reference.R's rule).
tmb_fit <- function(formula, d, family, ziformula, start) {
  for (rel_tol in c(1e-14, 1e-12, 1e-10)) {
    w <- character()
    control <- glmmTMBControl(optCtrl = list(iter.max = 1e4, eval.max = 1e4, rel.tol = rel_tol), parallel = 1)
    m <- withCallingHandlers(
      glmmTMB(as.formula(formula), d, family = family, ziformula = ziformula, control = control, start = start),
      warning = function(e) { w <<- c(w, conditionMessage(e)); invokeRestart("muffleWarning") })
    if (m$fit$convergence == 0 && !length(w)) return(m)
  }
  m <- glmmTMB(as.formula(formula), d, family = family, ziformula = ziformula,
               control = glmmTMBControl(parallel = 1), start = start)
  stopifnot(m$fit$convergence == 0)
  m
}

# predict.glmmTMB with its Hessian of the fixed parameters replaced by `H`: the function's
# own body, evaluated where optimHess returns H.
predict_with_hessian <- function(m, H, ...) {
  f <- glmmTMB:::predict.glmmTMB
  e <- new.env(parent = asNamespace("glmmTMB"))
  e$optimHess <- function(par, fn, gr, ...) H
  environment(f) <- e
  f(m, ...)
}
# The Hessian whose inverse is vcov's beta block and, elsewhere, 1e-10 times beta's least
# variance (sdreport solves it, which a larger ratio of its entries would defeat; what it
# adds to a squared standard error is of that order, far below the comparisons').
beta_only_hessian <- function(m) {
  par <- m$fit$par
  cond <- names(par) == "beta"
  vb <- vcov(m)$cond
  h <- diag(1e10 / min(diag(vb)), length(par))
  h[cond, cond] <- solve(vb)
  h
}

models <- list()
# newdata(d): the rows data_rows of the data (levels of the fit), then the rows new_rows
# of a new level.
tmb_case <- function(id, data, factors, formula, family, newdata, data_rows, new_rows, ziformula = ~0,
                     start = NULL) {
  d <- read_data(data, factors)
  m <- tmb_fit(formula, d, family, ziformula, start)
  nd <- newdata(d)
  known <- nd[-new_rows, , drop = FALSE]
  pop <- predict(m, nd, re.form = NA, se.fit = TRUE, type = "link", allow.new.levels = TRUE)
  # Where predict's own Hessian of the fixed parameters cannot be inverted (the Gamma
  # with the inverse link, whose beta is of order 1e-3), the population level's
  # variance is x0' vcov(beta) x0, from the fit's sdreport.
  se_pop_from <- "predict"
  if (any(!is.finite(pop$se.fit))) {
    pop <- predict_with_hessian(m, beta_only_hessian(m), newdata = nd, re.form = NA, se.fit = TRUE,
                                type = "link", allow.new.levels = TRUE)
    se_pop_from <- "vcov"
  }
  cond <- predict(m, known, re.form = NULL, se.fit = TRUE, type = "link")
  cond_beta <- predict_with_hessian(m, beta_only_hessian(m), newdata = known, re.form = NULL,
                                    se.fit = TRUE, type = "link")
  resp_pop <- predict(m, nd, re.form = NA, se.fit = TRUE, type = "response", allow.new.levels = TRUE)
  resp_cond <- predict(m, known, re.form = NULL, type = "response")
  vc <- VarCorr(m)$cond[[1]]
  fam <- family(m)
  models[[id]] <<- list(
    data = data, factors = levels_json(d, factors), formula = formula, family = fam$family, link = fam$link,
    zi_formula = if (identical(ziformula, ~0)) NULL else deparse(ziformula), peer = "glmmTMB",
    laplace = "observed", newdata = frame_json(nd), data_rows = I(data_rows - 1L), new_rows = I(new_rows - 1L),
    fit_pop = I(s17(pop$fit)), se_pop = I(s17(pop$se.fit)), se_pop_from = se_pop_from,
    fit_cond = I(s17(cond$fit)), se_cond = I(s17(cond$se.fit)), se_cond_beta = I(s17(cond_beta$se.fit)),
    response_pop = I(s17(resp_pop$fit)), response_se_pop = I(s17(resp_pop$se.fit)),
    response_cond = I(s17(resp_cond)),
    re_cov = I(s17(as.vector(vc))), loglik = s17(logLik(m)),
    beta = I(s17(fixef(m)$cond)),
    peer_version = paste("glmmTMB", packageVersion("glmmTMB"))
  )
}

sal_factors <- c("spp", "mined", "site")
sal_rows <- c(1, 47, 120, 333, 517, 640)
sal_newdata <- function(d) {
  nd <- d[sal_rows, c("spp", "mined", "site")]
  nd <- rbind(nd, data.frame(spp = factor("EC-L", levels(d$spp)), mined = factor("no", levels(d$mined)),
                             site = factor("NEW", levels = c(levels(d$site), "NEW"))))
  nd
}
sal_f <- "count ~ spp + mined + (1 | site)"
tmb_case("salamanders_nb2", "salamanders.csv", sal_factors, sal_f, nbinom2(), sal_newdata, sal_rows, 7L)
tmb_case("salamanders_zipois", "salamanders.csv", sal_factors, sal_f, poisson(), sal_newdata, sal_rows, 7L,
         ziformula = ~ spp + mined)
# The hurdle's mean (1 - pi) mu / (1 - p0(mu, theta)) also moves with the dispersion.
tmb_case("salamanders_hurdle_nb2", "salamanders.csv", sal_factors, sal_f, truncated_nbinom2(), sal_newdata,
         sal_rows, 7L, ziformula = ~ spp + mined)

ss_rows <- c(1, 25, 88, 140, 180)
ss_newdata <- function(d) {
  nd <- d[ss_rows, c("Days", "Subject")]
  nd <- rbind(nd, data.frame(Days = 4.5, Subject = factor("999", levels = c(levels(d$Subject), "999"))))
  nd
}
tmb_case("sleepstudy_gamma_log", "sleepstudy_glmm.csv", "Subject", "Reaction ~ Days + (Days | Subject)",
         Gamma(link = "log"), ss_newdata, ss_rows, 6L)
tmb_case("sleepstudy_gamma_inverse", "sleepstudy_glmm.csv", "Subject", "Reaction ~ Days + (1 | Subject)",
         Gamma(link = "inverse"), ss_newdata, ss_rows, 6L, start = list(beta = c(1 / 300, 0), theta = log(3e-4)))

# glmer's binomial: the population-level variance x0' V x0 with lme4's vcov (from its
# Hessian over theta and beta), and the conditional one from lme4's pieces (see above).
cb <- read_data("cbpp.csv", c("period", "herd"))
cb_f <- "cbind(incidence, size - incidence) ~ period + (1 | herd)"
g <- glmer(as.formula(cb_f), cb, family = binomial,
           control = glmerControl(optimizer = "nloptwrap", tolPwrss = 1e-12,
                                  optCtrl = list(ftol_abs = 1e-15, xtol_abs = 1e-12, ftol_rel = 1e-15,
                                                 xtol_rel = 1e-12, maxeval = 1e5)))
cb_rows <- c(1, 9, 20, 33, 50)
nd <- cb[cb_rows, c("period", "herd")]
nd <- rbind(nd, data.frame(period = factor("3", levels(cb$period)),
                           herd = factor("NEW", levels = c(levels(cb$herd), "NEW"))))
x0 <- model.matrix(~ period, nd)
V <- as.matrix(vcov(g))
pop_fit <- drop(x0 %*% fixef(g))
pop_se <- sqrt(rowSums((x0 %*% V) * x0))
known <- nd[1:5, ]
cond_fit <- predict(g, known, type = "link")
pv <- attr(ranef(g, condVar = TRUE)$herd, "postVar")[1, 1, ]
w <- weights(g, type = "working")
X <- getME(g, "X")
herd_of <- as.integer(cb$herd)
u_of <- function(i, k) {  # u = X_i'W_i Z_i K_i z0 for a random intercept (z0 = 1)
  rows <- herd_of == k
  colSums(X[rows, , drop = FALSE] * w[rows]) * pv[k]
}
cond_se <- sapply(seq_len(nrow(known)), function(i) {
  k <- as.integer(known$herd[i])
  u <- u_of(i, k)
  xi <- x0[i, ]
  sqrt(drop(xi %*% V %*% xi) + pv[k] + drop(u %*% V %*% u) - 2 * drop(xi %*% V %*% u))
})
models$cbpp_binomial <- list(
  data = "cbpp.csv", factors = levels_json(cb, c("period", "herd")), formula = cb_f, family = "binomial",
  link = "logit", peer = "glmer", laplace = "fisher", newdata = frame_json(nd), data_rows = I(cb_rows - 1L),
  new_rows = I(5L),
  fit_pop = I(s17(pop_fit)), se_pop = I(s17(pop_se)), fit_cond = I(s17(cond_fit)), se_cond_beta = I(s17(cond_se)),
  re_cov = I(s17(as.vector(VarCorr(g)$herd))), loglik = s17(logLik(g)), beta = I(s17(fixef(g))),
  peer_version = paste("lme4", packageVersion("lme4"))
)

writeLines(toJSON(list(generated_by = "make_predict_reference.R", r_version = R.version.string,
                       models = models), auto_unbox = TRUE, pretty = TRUE, null = "null"),
           file.path(out, "predict_reference.json"))
