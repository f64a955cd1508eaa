# broom.mixed's tidy, glance and augment and performance's r2_nakagawa of linear and
# generalized linear mixed models, for the tests of the tidy outputs and of R^2.
#
#   Rscript tests/data/models/make_tidy_reference.R     (from the repository's root)
#
# Writes tests/data/models/tidy.json: per case the data file (a CSV already in
# tests/data), its factor columns, the model, and the peers' numbers. lmerTest is
# loaded, so that the fixed effects of a linear model have Satterthwaite's df and
# p-values and t-based intervals, as broom.mixed gives them with lmerTest. For a
# Poisson model performance 0.10.2 gives the lognormal approximation of the
# distribution-specific variance only, log(1 + 1/lambda) with lambda = exp(b0) and b0
# the intercept of the null model (the same random terms and offset, no fixed effects)
# that insight refits; the delta (1/lambda) and trigamma (trigamma(lambda))
# approximations of Nakagawa, Johnson and Schielzeth (2017) are written from insight's
# own variance components and that same lambda.
suppressPackageStartupMessages({
  library(lmerTest)
  library(broom.mixed)
  library(performance)
  library(insight)
  library(jsonlite)
})
source(file.path("tests", "data", "reference_helpers.R"))
root <- file.path("tests", "data")

read_data <- function(file, factors) {
  classes <- setNames(rep("character", length(factors)), factors)
  read.csv(file.path(root, file), colClasses = classes)
}

columns <- function(df) {
  df <- as.data.frame(df)
  out <- lapply(df, function(col) if (is.numeric(col)) doubles_17(I(as.numeric(col))) else chr(col))
  names(out) <- names(df)
  out
}

glance_row <- function(fit) {
  g <- as.data.frame(glance(fit))
  lapply(g, function(v) doubles_17(as.numeric(v)))
}

r2_values <- function(fit, tolerance) {
  r <- r2_nakagawa(fit, tolerance = tolerance)
  list(R2_conditional = doubles_17(unname(r$R2_conditional)), R2_marginal = doubles_17(unname(r$R2_marginal)))
}

# Johnson's mean random-effect variance from lme4's own objects, term by term: the mean
# over the rows of z' Sigma z with z the term's columns of Z (getME's mmList) and Sigma
# its block of VarCorr; a term of a factor with a level per row goes to the residual.
# insight sums over the factors' names, which keeps only the first term of a factor
# written with ||: this is the value for such a model.
r2_johnson <- function(fit, residual) {
  mm <- getME(fit, "mmList")
  vc <- VarCorr(fit)
  per_row <- vapply(getME(fit, "flist")[attr(getME(fit, "flist"), "assign")], nlevels, 1) == nobs(fit)
  v <- vapply(seq_along(mm), function(t) mean(rowSums((mm[[t]] %*% vc[[t]]) * mm[[t]])), 1)
  vf <- var(as.vector(getME(fit, "X") %*% fixef(fit)))
  total <- vf + sum(v) + residual
  list(R2_conditional = doubles_17((vf + sum(v[!per_row])) / total), R2_marginal = doubles_17(vf / total))
}

# The three approximations of a Poisson model's distribution-specific variance.
r2_poisson <- function(fit, tolerance) {
  v <- get_variance(fit, tolerance = tolerance)
  null <- null_model(fit)
  lambda <- exp(unname(fixef(null)))
  dist <- list(delta = 1 / lambda, trigamma = trigamma(lambda))
  out <- lapply(dist, function(d) {
    total <- v$var.fixed + v$var.random + v$var.dispersion + d
    list(R2_conditional = doubles_17((v$var.fixed + v$var.random) / total),
         R2_marginal = doubles_17(v$var.fixed / total))
  })
  out$lognormal <- r2_values(fit, tolerance)   # performance's own
  out$null <- list(lambda = doubles_17(lambda), logLik = doubles_17(as.numeric(logLik(null))))
  out
}

cases <- list(
  list(id = "sleepstudy", data = "sleepstudy_data.csv", factors = "Subject",
       formula = "Reaction ~ Days + (Days | Subject)", family = "gaussian"),
  # Days centred at its mean: the same model, so the same R^2.
  list(id = "sleepstudy_centred", data = "sleepstudy_data.csv", factors = "Subject",
       formula = "Reaction ~ I(Days - 4.5) + (I(Days - 4.5) | Subject)", family = "gaussian"),
  list(id = "sleepstudy_ml_uncorrelated", data = "sleepstudy_data.csv", factors = "Subject",
       formula = "Reaction ~ Days + (Days || Subject)", family = "gaussian", reml = FALSE, johnson = TRUE),
  list(id = "penicillin", data = "crossed/penicillin.csv", factors = c("plate", "sample"),
       formula = "diameter ~ 1 + (1 | plate) + (1 | sample)", family = "gaussian"),
  # The group variance at zero (performance's tolerance 0 keeps its R^2 from NA).
  list(id = "zerosd", data = "models/zerosd.csv", factors = "g",
       formula = "y ~ 1 + (1 | g)", family = "gaussian", tolerance = 0),
  list(id = "cbpp", data = "glmm/cbpp.csv", factors = c("period", "herd"),
       formula = "cbind(incidence, size - incidence) ~ period + (1 | herd)", family = "binomial"),
  list(id = "bernoulli_singular", data = "glmm/sim_bernoulli_singular.csv", factors = "g",
       formula = "y ~ x + (1 | g)", family = "binomial", tolerance = 0),
  list(id = "poisson_offset", data = "glmm/sim_poisson_offset.csv", factors = "g",
       formula = "y ~ x + offset(log(exposure)) + (1 + x | g)", family = "poisson"),
  list(id = "grouseticks", data = "glmm/grouseticks.csv", factors = c("YEAR", "INDEX", "BROOD", "LOCATION"),
       formula = "TICKS ~ YEAR + cHEIGHT + (1 | INDEX) + (1 | BROOD) + (1 | LOCATION)", family = "poisson")
)

res <- list()
for (cs in cases) {
  d <- read_data(cs$data, cs$factors)
  reml <- if (is.null(cs$reml)) TRUE else cs$reml
  tol <- if (is.null(cs$tolerance)) 1e-5 else cs$tolerance
  fit <- if (cs$family == "gaussian") lmer(as.formula(cs$formula), d, REML = reml) else
    glmer(as.formula(cs$formula), d, family = cs$family)
  fixed <- as.data.frame(tidy(fit, effects = "fixed", conf.int = TRUE))
  ran_pars <- as.data.frame(tidy(fit, effects = "ran_pars"))
  ran_vals <- as.data.frame(tidy(fit, effects = "ran_vals", conf.int = TRUE))
  aug <- suppressWarnings(as.data.frame(augment(fit)))
  keep <- intersect(c(".fitted", ".resid", ".fixed", ".mu", ".offset", ".sqrtXwt", ".sqrtrwt", ".weights",
                      ".wtres", ".eta"), names(aug))
  r2 <- suppressWarnings(if (cs$family == "poisson") r2_poisson(fit, tol) else r2_values(fit, tol))
  res[[cs$id]] <- list(
    data = cs$data, factors = chr(cs$factors), formula = cs$formula, family = cs$family, reml = reml,
    theta = doubles_17(I(unname(getME(fit, "theta")))),
    tidy_fixed = columns(fixed[, setdiff(names(fixed), "effect")]),
    tidy_ran_pars = columns(ran_pars[, c("group", "term", "estimate")]),
    tidy_ran_vals = columns(ran_vals[, c("group", "level", "term", "estimate", "std.error", "conf.low", "conf.high")]),
    glance = glance_row(fit),
    augment = columns(head(aug[, keep], 60)),   # the first 60 rows
    r2 = r2, r2_johnson = if (isTRUE(cs$johnson)) r2_johnson(fit, sigma(fit)^2))
}
res$`_meta` <- list(R = R.version.string, lme4 = as.character(packageVersion("lme4")),
                    lmerTest = as.character(packageVersion("lmerTest")),
                    broom.mixed = as.character(packageVersion("broom.mixed")),
                    performance = as.character(packageVersion("performance")),
                    insight = as.character(packageVersion("insight")))
writeLines(toJSON(res, auto_unbox = TRUE, digits = NA, pretty = TRUE, null = "null", json_verbatim = TRUE),
           file.path(root, "models", "tidy.json"))
