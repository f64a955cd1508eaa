# Profile-likelihood intervals of fits on or near the boundary of the parameter space
# (a standard deviation at zero, a correlation at -1 or 1), for the profile tests.
#
#   Rscript tests/data/models/make_profile_boundary.R     (from the repository's root)
#
# Writes the data sets to tests/data/models/NAME.csv and profile_boundary.json. Each case
# holds lme4's confint(fit, method = "profile") and, for the standard deviations, the
# correlations and sigma, the end points of a brute-force profile of the exact ML
# deviance: lme4's devfun2 (the deviance as a function of the standard deviations, the
# correlations and sigma, beta profiled out), with one parameter held at v and the
# deviance minimised over the others from several starts, zeta(v) = sign(v - estimate)
# sqrt(dev(v) - dev_min), and the end points where zeta crosses -+ qnorm(0.975), solved
# by uniroot. The minimisation runs over unconstrained coordinates, sd = |w| and
# cor = sin(w), so that the boundary (sd = 0, cor = -+1, where these fits' optima lie)
# is an interior point; Nelder-Mead and BFGS alternate until neither gains (a
# box-constrained minimiser stops short on that boundary). A bound that zeta never
# reaches before the parameter's own limit (0 for a standard deviation,
# -1 or 1 for a correlation) is that limit, with "lower_limit"/"upper_limit" set.
suppressPackageStartupMessages({
  library(lme4)
  library(nlme)
  library(jsonlite)
})
out <- file.path("tests", "data", "models")

wafer <- as.data.frame(nlme::Wafer)[, c("Wafer", "voltage", "current")]
wafer$Wafer <- as.character(wafer$Wafer)
pbg <- as.data.frame(nlme::PBG)[, c("deltaBP", "dose", "Treatment", "Rabbit")]
pbg$Treatment <- as.character(pbg$Treatment)
pbg$Rabbit <- as.character(pbg$Rabbit)
# rankone: intercepts and slopes drawn from one normal variate, so that the ML estimate
# of Lambda has rank one (theta[3] = 0, the correlation at +1). (1 | g) with a small
# between-group spread whose ML estimate of the sd is zero.
set.seed(1)
rankone <- data.frame(g = sprintf("g%02d", rep(1:20, each = 6)), x = rep(seq(-1, 1, length.out = 6), 20))
u <- rnorm(20)
gi <- rep(1:20, each = 6)
rankone$y <- round(2 + 0.5 * rankone$x + 0.3 * u[gi] + 0.6 * u[gi] * rankone$x + rnorm(120), 4)
rankone <- rankone[, c("y", "x", "g")]
set.seed(9)
zerosd <- data.frame(g = sprintf("g%02d", rep(1:30, each = 8)))
zerosd$y <- round(5 + rnorm(30, sd = 0.05)[rep(1:30, each = 8)] + rnorm(240), 4)
data <- list(wafer = wafer, pbg = pbg, rankone = rankone, zerosd = zerosd)
for (name in names(data)) write.csv(data[[name]], file.path(out, paste0(name, ".csv")), row.names = FALSE)

cases <- list(
  list(id = "wafer", data = "wafer", group = "Wafer",
       formula = "current ~ voltage + I(voltage^2) + (voltage | Wafer)"),
  list(id = "pbg", data = "pbg", group = "Rabbit",
       formula = "deltaBP ~ log(dose) * Treatment + (log(dose) | Rabbit)"),
  list(id = "rankone", data = "rankone", group = "g", formula = "y ~ x + (x | g)"),
  list(id = "zerosd", data = "zerosd", group = "g", formula = "y ~ 1 + (1 | g)")
)

z <- qnorm(0.975)

# min over the other parameters of dev with parameter i held at v, from several starts
constrained <- function(dev, kinds, i, v, starts) {
  to_par <- function(w, k) ifelse(k == "cor", sin(w), abs(w))
  from_par <- function(p, k) ifelse(k == "cor", asin(pmax(-1, pmin(1, p))), p)
  best <- Inf
  for (s in starts) {
    s[i] <- v
    f <- function(w) { x <- s; x[-i] <- to_par(w, kinds[-i]); dev(x) }
    w <- from_par(s[-i], kinds[-i])
    val <- f(w)
    for (round in 1:6) {
      before <- val
      for (m in c("Nelder-Mead", "BFGS")) {
        r <- tryCatch(optim(w, f, method = m, control = list(reltol = 1e-14, maxit = 5000)),
                      error = function(e) list(value = Inf))
        if (r$value < val) { val <- r$value; w <- r$par }
      }
      if (before - val < 1e-10) break
    }
    best <- min(best, val)
  }
  best
}

brute_force <- function(fit) {
  dev <- lme4:::devfun2(fit, signames = FALSE)  # names sd_... and cor_..., as confint
  opt <- attr(dev, "optimum")
  k <- length(getME(fit, "theta")) + 1
  opt <- unname(opt[seq_len(k)])
  kinds <- c(ifelse(grepl("^cor_", names(attr(dev, "optimum"))[seq_len(k - 1)]), "cor", "sd"), "sigma")
  lower <- ifelse(kinds == "cor", -1, ifelse(kinds == "sd", 0, 1e-8))
  upper <- ifelse(kinds == "cor", 1, Inf)
  fd <- function(p) tryCatch(as.numeric(dev(p)), error = function(e) Inf)  # a factor that fails: infeasible
  starts <- list(opt)
  for (i in which(kinds == "cor")) for (c in c(0, -0.5 * sign(opt[i]))) { s <- opt; s[i] <- c; starts[[length(starts) + 1]] <- s }
  for (i in which(kinds == "sd")) { s <- opt; s[i] <- max(opt[i], 0.1 * opt[k]); starts[[length(starts) + 1]] <- s }
  dmin <- min(fd(opt), deviance(fit))
  res <- list(lower = numeric(k), upper = numeric(k), lower_limit = logical(k), upper_limit = logical(k),
              estimate = opt)
  for (i in seq_len(k)) {
    zeta <- function(v) {
      d <- constrained(fd, kinds, i, v, starts)
      sign(v - opt[i]) * sqrt(max(d - dmin, 0))
    }
    for (side in c(-1, 1)) {
      limit <- if (side < 0) lower[i] else upper[i]
      if (kinds[i] == "sigma" && side < 0) limit <- 1e-3 * opt[i]
      if (!is.finite(limit)) {  # walk outwards until zeta passes z
        step <- max(abs(opt[i]), 1e-2 * opt[k])
        limit <- opt[i] + step
        while (zeta(limit) < z) limit <- limit + (step <- 2 * step)
      }
      if (limit == opt[i] || side * zeta(limit) < z) {
        bound <- limit; at_limit <- TRUE
      } else {
        bound <- uniroot(function(v) zeta(v) - side * z, sort(c(opt[i], limit)), tol = 1e-10)$root
        at_limit <- FALSE
      }
      if (side < 0) { res$lower[i] <- bound; res$lower_limit[i] <- at_limit }
      else { res$upper[i] <- bound; res$upper_limit[i] <- at_limit }
    }
  }
  res
}

refs <- list()
for (cs in cases) {
  d <- data[[cs$data]]
  d[[cs$group]] <- factor(d[[cs$group]])
  fit <- suppressMessages(lmer(as.formula(cs$formula), d, REML = FALSE))
  ci <- suppressMessages(suppressWarnings(confint(fit, method = "profile", level = 0.95, oldNames = FALSE)))
  bf <- brute_force(fit)
  refs[[cs$id]] <- list(data = cs$data, formula = cs$formula, reml = FALSE,
                        theta = unname(getME(fit, "theta")), deviance = deviance(fit),
                        parm = rownames(ci), lme4_lower = unname(ci[, 1]), lme4_upper = unname(ci[, 2]),
                        brute = bf)
}
refs$`_meta` <- list(lme4 = as.character(packageVersion("lme4")), R = R.version.string, level = 0.95)
writeLines(toJSON(refs, auto_unbox = TRUE, digits = NA, pretty = TRUE),
           file.path(out, "profile_boundary.json"))
