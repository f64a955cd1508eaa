# Peers' numbers for the Tweedie family (compound Poisson-gamma, 1 < p < 2): mgcv's
# ldTweedie log densities (Wood's implementation of Dunn & Smyth's series, Stat.
# Comput. 15, 2005) on a grid of hard cases, and glmmTMB's Laplace fits with
# family = tweedie (power 1 + plogis(psi), dispersion phi, variance phi mu^p).
#
#   Rscript tests/data/glmm/make_tweedie_reference.R    (from the repository's root)
#
# Writes tweedie_observations.csv (family, y, mu, phi, p, log density) and
# tweedie_reference.json under tests/data/glmm/, from the CSVs that
# make_dispersion_reference.R writes; every double as a string of 17 significant digits.
suppressPackageStartupMessages({
  library(glmmTMB)
  library(mgcv)
  library(jsonlite)
})
out <- file.path("tests", "data", "glmm")
s17 <- function(x) sprintf("%.17g", unname(as.numeric(x)))
vec <- function(x) list(names = I(names(x)), values = I(s17(x)))

grid <- expand.grid(y = c(0, 1e-3, 0.5, 1, 3, 10, 100), mu = c(0.1, 1, 5, 50), phi = c(0.3, 1, 5),
                    p = c(1.05, 1.3, 1.5, 1.8, 1.95))
grid$logdens <- mapply(function(y, mu, phi, p) ldTweedie(y, mu = mu, p = p, phi = phi)[1, 1],
                       grid$y, grid$mu, grid$phi, grid$p)
lines <- c("# family,y,mu,phi,p,logdens: mgcv::ldTweedie",
           paste("tweedie", s17(grid$y), s17(grid$mu), s17(grid$phi), s17(grid$p), s17(grid$logdens), sep = ","))
writeLines(c(lines[1], "family,y,mu,phi,p,logdens", lines[-1]), file.path(out, "tweedie_observations.csv"))

sal <- read.csv(file.path(out, "salamanders.csv"), stringsAsFactors = TRUE)
epil <- read.csv(file.path(out, "epil.csv"), stringsAsFactors = TRUE)
models <- list(
  salamanders_tweedie = list(data = "salamanders.csv", frame = sal, formula = "count ~ spp + mined + (1 | site)"),
  epil_tweedie = list(data = "epil.csv", frame = epil, formula = "y ~ lbase * trt + lage + V4 + (1 | subject)")
)
res <- list()
for (name in names(models)) {
  m <- models[[name]]
  fit <- glmmTMB(as.formula(m$formula), data = m$frame, family = tweedie(link = "log"))
  pars <- fit$fit$par
  res[[name]] <- list(
    data = m$data, formula = m$formula, family = "tweedie", link = "log",
    factors = lapply(Filter(is.factor, m$frame), levels),
    loglik = s17(logLik(fit)), beta = vec(fixef(fit)$cond),
    se = vec(sqrt(diag(vcov(fit)$cond))), sigma = s17(sigma(fit)),
    power = s17(family_params(fit)), theta = s17(exp(pars[names(pars) == "theta"])),
    objective_x2 = s17(2 * fit$fit$objective),
    pearson_ss = s17(sum(residuals(fit, type = "pearson")^2)),
    print_lines = I(grep("Dispersion parameter|Tweedie power", capture.output(print(fit)), value = TRUE))
  )
}
res[["_meta"]] <- list(glmmTMB = as.character(packageVersion("glmmTMB")),
                       mgcv = as.character(packageVersion("mgcv")), R = R.version.string)
writeLines(toJSON(res, auto_unbox = TRUE, pretty = TRUE), file.path(out, "tweedie_reference.json"))
