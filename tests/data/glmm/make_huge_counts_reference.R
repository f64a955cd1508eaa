# glmer on Poisson counts near 1e9 and 1e11: the log-likelihood of such counts is a
# small difference of large terms (y log mu against log y!), which R's dpois computes
# without cancellation (Loader's saddle-point form). Two simulated data sets of 12
# groups x 5 rows, a covariate and a random intercept; the counts drawn as
# round(rnorm(mean = mu, sd = sqrt(mu))) (a Poisson count's normal limit) so that they
# are exact integers at any size.
#
#   Rscript tests/data/glmm/make_huge_counts_reference.R     (from the repository's root)
#
# Writes tests/data/glmm/huge_counts.csv (columns g, x, y9, y11) and huge_counts.json:
# - "fits": glmer's (Laplace) theta, beta, logLik, deviance, deviance residuals (also
#   from dpois, free of dev.resids' rounding) and
#   fitted means, for y9 (glmer's own PIRLS gives up on y11: "PIRLS step-halvings
#   failed to reduce deviance");
# - "points": the Laplace criterion (-2 log-likelihood) at fixed (theta, beta), for
#   both responses, computed here group by group with dpois: with one random intercept
#   each group's term is h(u) + log(1 + theta^2 sum mu) at the mode u of
#   h(u) = -2 sum dpois(y, mu(u), log = TRUE) + u^2, mu(u) = exp(x beta + theta u), found
#   by Newton's method. For y9 glmer's own deviance function (devFunOnly) is written
#   beside it, a check of this computation.
suppressPackageStartupMessages({
  library(lme4)
  library(jsonlite)
})
out <- file.path("tests", "data", "glmm")
set.seed(20240611)
d <- data.frame(g = factor(rep(sprintf("g%02d", 1:12), each = 5)), x = rep(seq(-1, 1, length.out = 5), 12))
b <- rnorm(12, sd = 0.3)
for (scale in c(9, 11)) {
  mu <- 10^scale * exp(0.2 * d$x + b[as.integer(d$g)])
  d[[paste0("y", scale)]] <- round(rnorm(nrow(d), mean = mu, sd = sqrt(mu)))
}
write.csv(d, file.path(out, "huge_counts.csv"), row.names = FALSE)
d <- read.csv(file.path(out, "huge_counts.csv"))
d$g <- factor(d$g)
fits <- list()
for (resp in c("y9")) {
  f <- glmer(as.formula(paste(resp, "~ x + (1 | g)")), data = d, family = poisson,
             control = glmerControl(optimizer = "bobyqa", optCtrl = list(maxfun = 1e5)))
  mu <- fitted(f)
  fits[[resp]] <- list(
    theta = unname(getME(f, "theta")), beta = unname(fixef(f)),
    loglik = as.numeric(logLik(f)), deviance = deviance(f),
    cond_loglik = sum(dpois(d[[resp]], mu, log = TRUE)),
    deviance_residuals = unname(residuals(f, type = "deviance")), mu = unname(mu),
    # The same residuals from dpois's cancellation-free log densities (2 (log p(y | y) -
    # log p(y | mu)) is the unit deviance): dev.resids' y log(y / mu) - (y - mu) loses
    # ~1e-7 of each to rounding at these counts.
    exact_deviance_residuals = unname(sign(d[[resp]] - mu) *
      sqrt(2 * (dpois(d[[resp]], d[[resp]], log = TRUE) - dpois(d[[resp]], mu, log = TRUE))))
  )
}
# The Laplace criterion at (theta, beta), group by group.
laplace <- function(y, theta, beta) {
  total <- 0
  for (lev in levels(d$g)) {
    rows <- d$g == lev
    eta0 <- beta[1] + beta[2] * d$x[rows]
    yy <- y[rows]
    u <- 0
    for (it in 1:200) {  # Newton on h / 2: gradient theta sum(y - mu) - u, curvature theta^2 sum mu + 1
      mu <- exp(eta0 + theta * u)
      step <- (theta * sum(yy - mu) - u) / (theta^2 * sum(mu) + 1)
      u <- u + step
      if (abs(step) < 1e-13) break
    }
    mu <- exp(eta0 + theta * u)
    total <- total + (-2 * sum(dpois(yy, mu, log = TRUE)) + u^2) + log(theta^2 * sum(mu) + 1)
  }
  total
}
points <- list()
for (resp in c("y9", "y11")) {
  scale <- as.numeric(sub("y", "", resp))
  for (pt in list(c(0.3, 0.2), c(0.25, 0.21))) {
    beta <- c(log(10^scale) + 0.01, pt[2])
    entry <- list(response = resp, theta = pt[1], beta = beta, m2loglik = laplace(d[[resp]], pt[1], beta))
    if (resp == "y9") {
      devf <- glmer(y9 ~ x + (1 | g), data = d, family = poisson, devFunOnly = TRUE)
      entry$glmer_devfun <- devf(c(pt[1], beta))
    }
    points[[length(points) + 1]] <- entry
  }
}
meta <- list(data = "huge_counts.csv", factors = list(g = levels(d$g)), formula = "RESP ~ x + (1 | g)",
             r = R.version.string, lme4 = as.character(packageVersion("lme4")), fits = fits, points = points)
writeLines(toJSON(meta, digits = I(17), auto_unbox = TRUE, pretty = TRUE), file.path(out, "huge_counts.json"))
