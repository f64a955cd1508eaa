# lme4's and lmerTest's numbers for the model-class and inference tests, on real data
# from R's packages.
#
#   Rscript tests/data/models/make_reference.R     (from the repository's root)
#
# Writes the raw data sets to tests/data/models/NAME.csv and the references to
# lme4_models.json (fits: theta, criterion, fixed effects and standard errors, sigma,
# log-likelihood, AIC, BIC), lmertest.json (Satterthwaite t and F tests) and
# profile.json (profile-likelihood confidence intervals).
suppressPackageStartupMessages({
  library(lmerTest)
  library(nlme)
  library(jsonlite)
})
out <- file.path("tests", "data", "models")

cw <- as.data.frame(datasets::ChickWeight)
cw$Chick <- as.character(cw$Chick)
cw$Diet <- as.integer(as.character(cw$Diet))
set.seed(20261206)
cw$w <- round(runif(nrow(cw), 0.5, 2), 3)   # prior weights, as a user would store them
cw$o <- 3 * cw$Time                          # an offset column
ortho <- as.data.frame(nlme::Orthodont)
ortho$Subject <- as.character(ortho$Subject)
ortho$Sex <- as.character(ortho$Sex)
ox <- as.data.frame(nlme::Oxboys)[, c("Subject", "age", "height")]
ox$Subject <- as.character(ox$Subject)
ergo <- as.data.frame(nlme::ergoStool)
ergo$Subject <- as.character(ergo$Subject)
ergo$Type <- as.character(ergo$Type)
mach <- as.data.frame(nlme::Machines)
mach$Worker <- as.character(mach$Worker)
mach$Machine <- as.character(mach$Machine)
# Simulated designs (each from its own seed, responses rounded so that the CSV holds
# them exactly). splitplot: two factors of three levels, A between subjects and B
# within, crossed, with rows removed so that the cells are unbalanced (where the
# type III tests differ from sequential ones). singular: intercepts and slopes whose
# REML estimate has Lambda of rank one (a correlation of -1 or 1, the second diagonal
# entry of theta zero), so that the Satterthwaite df are taken on the boundary.
set.seed(31)
subjects <- sprintf("s%02d", 1:24)
sp <- expand.grid(rep = 1:2, B = c("b1", "b2", "b3"), Subject = subjects, stringsAsFactors = FALSE)
sp$A <- rep(c("a1", "a2", "a3"), each = 8)[match(sp$Subject, subjects)]
u <- rnorm(24, sd = 1.5)
sp$y <- round(10 + c(a1 = 0, a2 = 0.8, a3 = -0.5)[sp$A] + c(b1 = 0, b2 = 1.2, b3 = 0.4)[sp$B] +
              0.9 * (sp$A == "a2" & sp$B == "b2") - 0.7 * (sp$A == "a3" & sp$B == "b3") +
              u[match(sp$Subject, subjects)] + rnorm(nrow(sp)), 4)
sp <- sp[sort(sample(nrow(sp), nrow(sp) - 17)), c("y", "A", "B", "Subject")]
set.seed(2)
sg <- data.frame(g = rep(sprintf("g%02d", 1:30), each = 8), x = rep(0:7, 30))
b0 <- rnorm(30)
sg$y <- round(1 + 0.5 * sg$x + b0[rep(1:30, each = 8)] + rnorm(240), 4)
sg <- sg[, c("y", "x", "g")]
# unbalanced: 30 groups of 2 to 10 rows, factors A (3 levels) and B (4 levels) in
# unequal cells, a covariate x, per-group intercepts and slopes, and prior weights
# spread over 16 orders of magnitude (10^-8 to 10^8). singletons: 45 groups, 30 of
# them of one row, a 3 x 3 factorial in unequal cells.
set.seed(23)
sizes <- sample(2:10, 30, replace = TRUE)
ub <- data.frame(g = rep(sprintf("g%02d", 1:30), sizes))
ub$A <- sample(c("a1", "a2", "a3"), nrow(ub), replace = TRUE, prob = c(0.45, 0.3, 0.25))
ub$B <- sample(c("b1", "b2", "b3", "b4"), nrow(ub), replace = TRUE, prob = c(0.15, 0.2, 0.3, 0.35))
ub$x <- round(runif(nrow(ub), 0, 5), 3)
b0 <- rnorm(30, sd = 1.2)
b1 <- rnorm(30, sd = 0.4)
gi <- match(ub$g, sprintf("g%02d", 1:30))
ub$y <- round(5 + c(a1 = 0, a2 = 1, a3 = -0.6)[ub$A] + c(b1 = 0, b2 = 0.5, b3 = 1.1, b4 = -0.4)[ub$B] +
              (0.3 + 0.4 * (ub$A == "a2") - 0.2 * (ub$A == "a3")) * ub$x + b0[gi] + b1[gi] * ub$x +
              rnorm(nrow(ub)), 4)
ub$w <- signif(10^runif(nrow(ub), -8, 8), 6)
ub <- ub[, c("y", "A", "B", "x", "w", "g")]
set.seed(24)
sizes <- c(rep(1, 30), sample(2:8, 15, replace = TRUE))
sn <- data.frame(g = rep(sprintf("g%02d", 1:45), sizes))
sn$A <- sample(c("a1", "a2", "a3"), nrow(sn), replace = TRUE)
sn$B <- sample(c("b1", "b2", "b3"), nrow(sn), replace = TRUE)
sn$y <- round(2 + c(a1 = 0, a2 = 0.7, a3 = 1.3)[sn$A] + c(b1 = 0, b2 = -0.5, b3 = 0.4)[sn$B] +
              0.8 * (sn$A == "a3" & sn$B == "b2") + rnorm(45)[match(sn$g, sprintf("g%02d", 1:45))] +
              rnorm(nrow(sn)), 4)
sn <- sn[, c("y", "A", "B", "g")]
data <- list(chickweight = cw, orthodont = ortho, oxboys = ox, ergostool = ergo, machines = mach,
             splitplot = sp, singular = sg, unbalanced = ub, singletons = sn)
for (name in names(data)) write.csv(data[[name]], file.path(out, paste0(name, ".csv")), row.names = FALSE)

# Factors as R would see them when the CSV is read back: Diet is an integer code.
rdata <- function(name) {
  d <- data[[name]]
  for (col in intersect(c("Chick", "Subject", "Sex", "Type", "Worker", "Machine", "A", "B", "g"), names(d)))
    d[[col]] <- factor(d[[col]])
  d
}

summarise <- function(fit) {
  s <- summary(fit)
  list(theta = unname(getME(fit, "theta")),
       criterion = if (isREML(fit)) REMLcrit(fit) else deviance(fit),
       beta = unname(fixef(fit)), se = unname(coef(s)[, "Std. Error"]),
       names = rownames(coef(s)), sigma = sigma(fit),
       loglik = as.numeric(logLik(fit)), aic = AIC(fit), bic = BIC(fit),
       df = attr(logLik(fit), "df"))
}

# ---- the wider model class: weights, offsets, uncorrelated and split terms --------
# One model a row: its id, data set, REML (TRUE) or ML, prior weights (a column, a
# constant, or none) and formula.
models <- read.table(sep = ";", header = TRUE, strip.white = TRUE, colClasses = "character", text = "
id                          ; data        ; reml  ; weights ; formula
chick_weighted_reml         ; chickweight ; TRUE  ; w       ; weight ~ Time * factor(Diet) + (Time | Chick)
chick_weighted_ml           ; chickweight ; FALSE ; w       ; weight ~ Time * factor(Diet) + (Time | Chick)
chick_weights_3             ; chickweight ; TRUE  ; 3       ; weight ~ Time * factor(Diet) + (Time | Chick)
chick_offset                ; chickweight ; TRUE  ;         ; weight ~ factor(Diet) + offset(o) + (Time | Chick)
chick_offset_expr           ; chickweight ; TRUE  ;         ; weight ~ factor(Diet) + offset(3 * Time) + (Time | Chick)
chick_uncorrelated          ; chickweight ; TRUE  ;         ; weight ~ Time * factor(Diet) + (Time || Chick)
ortho_uncorrelated_ml       ; orthodont   ; FALSE ;         ; distance ~ age * Sex + (age || Subject)
oxboys_split                ; oxboys      ; TRUE  ;         ; height ~ age + (1 | Subject) + (0 + age | Subject)
oxboys_correlated_and_split ; oxboys      ; TRUE  ;         ; height ~ age + I(age^2) + (age | Subject) + (0 + I(age^2) | Subject)
chick_everything_ml         ; chickweight ; FALSE ; w       ; weight ~ Time * factor(Diet) + offset(o) + (Time || Chick)
")
# lme4's default stopping rule (BOBYQA to 1e-8 in the criterion and theta) leaves the
# estimates up to 1e-4 from the optimum; these references are taken to the optimum,
# so that fits can be compared to 1e-5 and below.
tight <- lmerControl(optimizer = "nloptwrap",
                     optCtrl = list(ftol_abs = 1e-15, xtol_abs = 1e-12, ftol_rel = 1e-15,
                                    xtol_rel = 1e-12, maxeval = 1e5))
res <- list()
for (i in seq_len(nrow(models))) {
  m <- as.list(models[i, ])
  m$reml <- as.logical(m$reml)
  if (m$weights == "") m["weights"] <- list(NULL)
  d <- rdata(m$data)
  w <- if (is.null(m$weights)) NULL else if (m$weights %in% names(d)) d[[m$weights]] else
    rep(as.numeric(m$weights), nrow(d))
  d$.w <- if (is.null(w)) rep(1, nrow(d)) else w
  fit <- if (is.null(w)) lme4::lmer(as.formula(m$formula), d, REML = m$reml, control = tight) else
    lme4::lmer(as.formula(m$formula), d, REML = m$reml, weights = .w, control = tight)
  res[[m$id]] <- c(m[c("data", "formula", "reml")], list(weights = m$weights), summarise(fit))
}
res$`_meta` <- list(lme4 = as.character(packageVersion("lme4")), R = R.version.string)
writeLines(toJSON(res, auto_unbox = TRUE, digits = NA, pretty = TRUE, null = "null"),
           file.path(out, "lme4_models.json"))

# ---- Satterthwaite's t and F tests -------------------------------------------------
tests <- list(
  list(id = "ortho", data = "orthodont", reml = TRUE, formula = "distance ~ age * Sex + (age | Subject)",
       L = rbind(c(0, 1, 0, 0), c(0, 0, 1, 1))),
  list(id = "ortho_ml", data = "orthodont", reml = FALSE, formula = "distance ~ age * Sex + (age | Subject)",
       L = rbind(c(0, 1, 0, 0), c(0, 0, 1, 1))),
  list(id = "chick", data = "chickweight", reml = TRUE,
       formula = "weight ~ Time * factor(Diet) + (Time | Chick)",
       L = rbind(c(0, 0, 1, -1, 0, 0, 0, 0), c(0, 0, 0, 0, 0, 1, 0, 0))),
  list(id = "ergo", data = "ergostool", reml = TRUE, formula = "effort ~ Type + (1 | Subject)",
       L = rbind(c(0, 1, -1, 0), c(0, 0, 1, -1))),
  list(id = "machines", data = "machines", reml = TRUE, formula = "score ~ Machine + (1 | Worker)",
       L = rbind(c(0, 1, -1))),
  list(id = "sleep_ml", data = NULL, reml = FALSE, formula = "Reaction ~ Days + (Days | Subject)",
       L = rbind(c(0, 1))),
  list(id = "splitplot", data = "splitplot", reml = TRUE, formula = "y ~ A * B + (1 | Subject)",
       L = rbind(c(0, 1, -1, 0, 0, 0, 0, 0, 0), c(0, 0, 0, 0, 0, 1, 0, 0, 0))),
  list(id = "singular", data = "singular", reml = TRUE, formula = "y ~ x + (x | g)",
       L = rbind(c(0, 1))),
  # multi-df terms in unequal cells, where the denominator df of a term depends on the
  # basis of its hypothesis: lmerTest's type III basis (and, for a model of one term,
  # its type I basis) is what anova(fit) tests
  list(id = "unbalanced", data = "unbalanced", reml = TRUE, formula = "y ~ A * B + x + (1 | g)",
       L = rbind(c(0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0), c(0, 0, 1, -1, 0, 0, 0, 0, 0, 0, 0, 0, 0),
                 c(0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0))),
  list(id = "unbalanced_two_terms", data = "unbalanced", reml = TRUE,
       formula = "y ~ A * x + B + (1 | g) + (0 + x | g)",
       L = rbind(c(0, 1, 0, 0, 0, 0, 0, 0, 0), c(0, 0, 0, 0, 0, 0, 0, 1, 0), c(0, 0, 0, 0, 0, 0, 0, 0, 1))),
  list(id = "unbalanced_weighted", data = "unbalanced", reml = TRUE, weights = "w",
       formula = "y ~ A * x + B + (1 | g)",
       L = rbind(c(0, 1, 0, 0, 0, 0, 0, 0, 0), c(0, 0, 1, 0, 0, 0, 0, 0, 0), c(0, 0, 0, 0, 0, 0, 0, 1, -1))),
  list(id = "unbalanced_one_term", data = "unbalanced", reml = TRUE, formula = "y ~ B + (1 | g)",
       L = rbind(c(0, 1, 0, 0), c(0, 0, 1, 0), c(0, 0, 1, 1))),
  # x:A without A: lmerTest does not count x as contained in x:A (R codes x in x:A
  # by dummies, not contrasts), so x is tested at the first level of A
  list(id = "unbalanced_slopes", data = "unbalanced", reml = TRUE, formula = "y ~ B + x + x:A + (1 | g)",
       L = rbind(c(0, 0, 0, 0, 1, 0, 0), c(0, 0, 0, 0, 0, 1, -1))),
  list(id = "singletons", data = "singletons", reml = TRUE, formula = "y ~ A * B + (1 | g)",
       L = rbind(c(0, 1, 0, 0, 0, 0, 0, 0, 0), c(0, 0, 0, 0, 0, 1, 0, 0, 0), c(0, 0, 0, 0, 0, 0, 0, 0, 1))),
  list(id = "singletons_ml", data = "singletons", reml = FALSE, formula = "y ~ A * B + (1 | g)",
       L = rbind(c(0, 1, -1, 0, 0, 0, 0, 0, 0), c(0, 0, 0, 1, 1, 0, 0, 0, 0)))
)
tres <- list()
for (t in tests) {
  d <- if (is.null(t$data)) lme4::sleepstudy else rdata(t$data)
  d$.w <- if (is.null(t$weights)) rep(1, nrow(d)) else d[[t$weights]]
  fit <- if (is.null(t$weights)) lmerTest::lmer(as.formula(t$formula), d, REML = t$reml) else
    lmerTest::lmer(as.formula(t$formula), d, REML = t$reml, weights = .w)
  ct <- coef(summary(fit))
  a <- anova(fit, type = 3)
  joint <- contest(fit, t$L, joint = TRUE)
  single <- contest(fit, t$L, joint = FALSE)
  tres[[t$id]] <- list(data = if (is.null(t$data)) "sleepstudy" else t$data, formula = t$formula,
    reml = t$reml, weights = t$weights, names = rownames(ct), theta = unname(getME(fit, "theta")), sigma = sigma(fit),
    singular = isSingular(fit),
    vcov_varpar = unname(fit@vcov_varpar),
    coef = list(estimate = unname(ct[, "Estimate"]), se = unname(ct[, "Std. Error"]),
                df = unname(ct[, "df"]), t = unname(ct[, "t value"]), p = unname(ct[, "Pr(>|t|)"])),
    anova = list(terms = rownames(a), sum_sq = unname(a[, "Sum Sq"]), mean_sq = unname(a[, "Mean Sq"]),
                 num_df = unname(a[, "NumDF"]), den_df = unname(a[, "DenDF"]),
                 f = unname(a[, "F value"]), p = unname(a[, "Pr(>F)"])),
    hypotheses = lapply(attr(a, "hypotheses"), function(h) unname(as.matrix(h))),
    L = t$L,
    contrast = list(f = joint[["F value"]], num_df = joint[["NumDF"]], den_df = joint[["DenDF"]],
                    p = joint[["Pr(>F)"]]),
    contrast_rows = list(estimate = single[["Estimate"]], se = single[["Std. Error"]],
                         df = single[["df"]], t = single[["t value"]], p = single[["Pr(>|t|)"]]))
}
tres$`_meta` <- list(lmerTest = as.character(packageVersion("lmerTest")), R = R.version.string)
writeLines(toJSON(tres, auto_unbox = TRUE, digits = NA, pretty = TRUE, null = "null"),
           file.path(out, "lmertest.json"))

# ---- profile-likelihood intervals --------------------------------------------------
profiles <- list(
  list(id = "ergo_ml", data = "ergostool", reml = FALSE, formula = "effort ~ Type + (1 | Subject)"),
  list(id = "machines_ml", data = "machines", reml = FALSE, formula = "score ~ Machine + (1 | Worker)"),
  list(id = "ortho_ml", data = "orthodont", reml = FALSE, formula = "distance ~ age * Sex + (age | Subject)"),
  list(id = "ortho_reml", data = "orthodont", reml = TRUE, formula = "distance ~ age * Sex + (age | Subject)"),
  list(id = "sleep_reml", data = NULL, reml = TRUE, formula = "Reaction ~ Days + (Days | Subject)")
)
pres <- list()
for (pr in profiles) {
  d <- if (is.null(pr$data)) lme4::sleepstudy else rdata(pr$data)
  fit <- lme4::lmer(as.formula(pr$formula), d, REML = pr$reml)
  ci <- suppressWarnings(confint(fit, method = "profile", level = 0.95, oldNames = FALSE))
  pres[[pr$id]] <- list(data = if (is.null(pr$data)) "sleepstudy" else pr$data, formula = pr$formula,
                        reml = pr$reml, theta = unname(getME(fit, "theta")), sigma = sigma(fit),
                        parm = rownames(ci), lower = unname(ci[, 1]),
                        upper = unname(ci[, 2]))
}
pres$`_meta` <- list(lme4 = as.character(packageVersion("lme4")), R = R.version.string)
writeLines(toJSON(pres, auto_unbox = TRUE, digits = NA, pretty = TRUE),
           file.path(out, "profile.json"))
