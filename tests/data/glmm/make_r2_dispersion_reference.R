# Peers' R^2 of negative binomial GLMMs: performance's r2_nakagawa (Nakagawa, Johnson &
# Schielzeth 2017, the lognormal approximation of the distribution-specific variance,
# log(1 + 1/mu + 1/theta) for nbinom2 and log(1 + (1 + phi)/mu) for nbinom1, mu = exp of
# the null model's intercept) of glmmTMB fits to glmmTMB's Salamanders and to MASS's
# epil, with the variances behind them (insight's get_variance).
#
#   Rscript tests/data/glmm/make_r2_dispersion_reference.R    (from the repository's root)
#
# Reads the CSVs written by make_dispersion_reference.R; writes r2_dispersion_reference.json
# under tests/data/glmm/, every double as a string of 17 significant digits.
suppressPackageStartupMessages({
  library(glmmTMB)
  library(performance)
  library(insight)
  library(jsonlite)
})
out <- file.path("tests", "data", "glmm")
s17 <- function(x) sprintf("%.17g", unname(as.numeric(x)))
sal <- read.csv(file.path(out, "salamanders.csv"), stringsAsFactors = TRUE)
epil <- read.csv(file.path(out, "epil.csv"), stringsAsFactors = TRUE)
models <- list(
  salamanders_nb2 = list(data = "salamanders.csv", frame = sal, family = "nbinom2",
                         formula = "count ~ spp + mined + (1 | site)"),
  salamanders_nb1 = list(data = "salamanders.csv", frame = sal, family = "nbinom1",
                         formula = "count ~ spp + mined + (1 | site)"),
  epil_nb2 = list(data = "epil.csv", frame = epil, family = "nbinom2",
                  formula = "y ~ lbase * trt + lage + V4 + (1 | subject)")
)
res <- list()
for (name in names(models)) {
  m <- models[[name]]
  fam <- switch(m$family, nbinom2 = nbinom2(), nbinom1 = nbinom1())
  fit <- glmmTMB(as.formula(m$formula), data = m$frame, family = fam)
  r2 <- suppressWarnings(r2_nakagawa(fit))
  v <- suppressWarnings(get_variance(fit))
  res[[name]] <- list(
    data = m$data, family = m$family, formula = m$formula,
    R2_conditional = s17(r2$R2_conditional), R2_marginal = s17(r2$R2_marginal),
    var_fixed = s17(v$var.fixed), var_random = s17(v$var.random),
    var_distribution = s17(v$var.distribution), sigma = s17(sigma(fit)),
    loglik = s17(logLik(fit))
  )
}
res[["_meta"]] <- list(glmmTMB = as.character(packageVersion("glmmTMB")),
                       performance = as.character(packageVersion("performance")),
                       insight = as.character(packageVersion("insight")), R = R.version.string)
writeLines(toJSON(res, auto_unbox = TRUE, pretty = TRUE), file.path(out, "r2_dispersion_reference.json"))
