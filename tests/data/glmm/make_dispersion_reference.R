# Peers' numbers for GLMM families with a dispersion parameter (negative binomial 1 and
# 2, Gamma, gaussian with non-identity links, inverse Gaussian, beta, beta-binomial,
# zero-truncated Poisson and negative binomial, zero-inflated and hurdle models):
# R's log densities on a grid of hard cases, glmmTMB's Laplace fits (Brooks et al. 2017,
# The R Journal 9(2):378-400) and lme4's glmer / glmer.nb fits of the same models.
#
#   Rscript tests/data/glmm/make_dispersion_reference.R    (from the repository's root)
#
# Needs glmmTMB, lme4, MASS, afex, mlmRev, HSAUR3 and jsonlite.
#
# Writes, under tests/data/glmm/: family_dispersion_observations.csv (the density grid),
# the data CSVs the models use, and dispersion_reference.json. Every double is written
# as a string of 17 significant digits (it reads back as the same double); R's NA is
# null. Fits are made from the CSVs as read back, with factor levels set in R's order
# (the JSON lists them), so a reader rebuilding the columns from the CSV fits the same
# data.
suppressPackageStartupMessages({
  library(glmmTMB)
  library(lme4)
  library(MASS)
  library(afex)
  library(jsonlite)
})
out <- file.path("tests", "data", "glmm")
s17 <- function(x) ifelse(is.finite(x), sprintf("%.17g", unname(as.numeric(x))),
                          ifelse(is.na(x), NA_character_, ifelse(x > 0, "Inf", "-Inf")))
vec <- function(x) list(names = I(names(x)), values = I(s17(x)))

# ---------------------------------------------------------------------------------
# Log densities. phi is the family's parameter as glmmTMB parameterises it (see the
# README): these are the formulas the density checks below hold glmmTMB to.
logdens <- list(
  nbinom2 = function(y, mu, phi, w) dnbinom(y, size = phi, mu = mu, log = TRUE),
  nbinom1 = function(y, mu, phi, w) dnbinom(y, size = mu / phi, mu = mu, log = TRUE),
  Gamma = function(y, mu, phi, w) dgamma(y, shape = 1 / phi^2, scale = mu * phi^2, log = TRUE),
  gaussian = function(y, mu, phi, w) dnorm(y, mean = mu, sd = phi, log = TRUE),
  # Inverse Gaussian with var(y) = phi * mu^3 (phi = 1 / lambda): Chhikara & Folks
  # (1989), eq. 2.1.
  inverse.gaussian = function(y, mu, phi, w)
    -0.5 * (log(2 * pi * phi) + 3 * log(y)) - (y - mu)^2 / (2 * phi * mu^2 * y),
  beta = function(y, mu, phi, w) dbeta(y, shape1 = mu * phi, shape2 = (1 - mu) * phi, log = TRUE),
  betabinomial = function(y, mu, phi, w)
    lchoose(w, y) + lbeta(y + mu * phi, w - y + (1 - mu) * phi) - lbeta(mu * phi, (1 - mu) * phi),
  truncated_poisson = function(y, mu, phi, w) dtruncated_poisson(y, lambda = mu, log = TRUE),
  truncated_nbinom2 = function(y, mu, phi, w) dtruncated_nbinom2(y, size = phi, mu = mu, log = TRUE)
)
# The density check's own formulas for the truncated families (without glmmTMB's
# functions): P(y | y > 0) = p(y) / (1 - p(0)).
hand_truncated <- list(
  truncated_poisson = function(y, mu, phi, w)
    dpois(y, mu, log = TRUE) - ppois(0, mu, lower.tail = FALSE, log.p = TRUE),
  truncated_nbinom2 = function(y, mu, phi, w)
    dnbinom(y, size = phi, mu = mu, log = TRUE) -
      pnbinom(0, size = phi, mu = mu, lower.tail = FALSE, log.p = TRUE)
)

grid <- list(
  nbinom2 = expand.grid(y = c(0, 1, 7, 1e5), mu = c(1e-8, 0.5, 1e5), phi = c(1e-3, 1, 1e8), w = 1),
  nbinom1 = expand.grid(y = c(0, 1, 7, 1e5), mu = c(1e-8, 0.5, 1e5), phi = c(1e-3, 1, 1e3), w = 1),
  Gamma = expand.grid(y = c(1e-10, 0.5, 3, 1e10), mu = c(1e-8, 2, 1e8), phi = c(1e-3, 0.5, 10), w = 1),
  gaussian = expand.grid(y = c(-3, 0, 1.5, 1e8), mu = c(1e-8, 2, 1e8), phi = c(1e-4, 1, 1e4), w = 1),
  inverse.gaussian = expand.grid(y = c(1e-6, 0.5, 3, 1e6), mu = c(1e-4, 2, 1e4), phi = c(1e-3, 1, 1e3), w = 1),
  beta = expand.grid(y = c(1e-10, 0.3, 0.5, 1 - 1e-10), mu = c(1e-8, 0.5, 1 - 1e-8), phi = c(1e-3, 2, 1e8), w = 1),
  betabinomial = {
    g <- expand.grid(k = 1:4, mu = c(1e-8, 0.3, 1 - 1e-8), phi = c(1e-3, 2, 1e8))
    yw <- cbind(y = c(0, 3, 10, 500), w = c(1, 10, 10, 1000))
    data.frame(y = yw[g$k, "y"], mu = g$mu, phi = g$phi, w = yw[g$k, "w"])
  },
  truncated_poisson = expand.grid(y = c(1, 2, 10, 1e5), mu = c(1e-8, 1e-3, 0.5, 3, 1e5, 1e8), phi = NaN, w = 1),
  truncated_nbinom2 = expand.grid(y = c(1, 2, 10, 1e5), mu = c(1e-8, 0.5, 1e5), phi = c(1e-3, 1, 1e8), w = 1)
)
# Far tails and near-Poisson limits beside the products above.
grid$nbinom2 <- rbind(grid$nbinom2, data.frame(y = c(0, 3, 1e5), mu = 1e10, phi = c(1e-3, 1e8, 1e8), w = 1))
grid$Gamma <- rbind(grid$Gamma, data.frame(y = c(1e-300, 1e300), mu = c(1e-300, 1e300), phi = 1, w = 1))
grid$beta <- rbind(grid$beta, data.frame(y = c(1e-10, 1 - 1e-10), mu = c(1e-10, 1 - 1e-10), phi = 1e3, w = 1))
obs <- character()
for (fam in names(grid)) {
  g <- grid[[fam]]
  ld <- logdens[[fam]](g$y, g$mu, g$phi, g$w)
  obs <- c(obs, paste(fam, s17(g$y), s17(g$mu), ifelse(is.nan(g$phi), "NaN", s17(g$phi)), s17(g$w),
                      s17(ld), sep = ","))
}
writeLines(c(sprintf("# %s, glmmTMB %s; written by make_dispersion_reference.R", R.version.string,
                     packageVersion("glmmTMB")),
             "family,y,mu,phi,w,logdens", obs),
           file.path(out, "family_dispersion_observations.csv"))

# ---------------------------------------------------------------------------------
# Data: each CSV holds only the columns the models use; factors are read back as
# character and given the levels recorded here.
write_data <- function(name, d, factors) {
  write.csv(d, file.path(out, name), row.names = FALSE)
  levels_of <- lapply(factors, function(f) levels(factor(d[[f]])))
  names(levels_of) <- factors
  list(name = name, levels = levels_of)
}
read_data <- function(spec) {
  d <- read.csv(file.path(out, spec$name), colClasses = setNames(rep("character", length(spec$levels)),
                                                                 names(spec$levels)))
  for (f in names(spec$levels)) d[[f]] <- factor(d[[f]], levels = spec$levels[[f]])
  d
}
unorder <- function(f) factor(as.character(f), levels = levels(f))

sal <- as.data.frame(glmmTMB::Salamanders)[, c("count", "spp", "mined", "site")]
sal$site <- unorder(sal$site)
sal_data <- write_data("salamanders.csv", sal, c("spp", "mined", "site"))
owl <- as.data.frame(glmmTMB::Owls)[, c("SiblingNegotiation", "FoodTreatment", "SexParent", "BroodSize", "Nest")]
owl_data <- write_data("owls.csv", owl, c("FoodTreatment", "SexParent", "Nest"))
ep <- MASS::epil[, c("y", "lbase", "trt", "lage", "V4", "subject")]
ep$subject <- factor(ep$subject)
epil_data <- write_data("epil.csv", ep, c("trt", "subject"))
qu <- MASS::quine[, c("Days", "Eth", "Sex", "Lrn", "Age")]
quine_data <- write_data("quine.csv", qu, c("Eth", "Sex", "Lrn", "Age"))
# grouseticks.csv is make_reference.R's file, read here as it is.
gt_data <- list(name = "grouseticks.csv",
                levels = lapply(as.data.frame(lme4::grouseticks)[, c("INDEX", "BROOD", "LOCATION", "YEAR")],
                                levels))
ss <- as.data.frame(lme4::sleepstudy)[, c("Reaction", "Days", "Subject")]
ss_data <- write_data("sleepstudy_glmm.csv", ss, "Subject")
# fhch2010: every response to the first 100 items (alphabetically), which keeps all 45
# participants crossed with the items (about 2200 rows).
fh <- afex::fhch2010
fh <- droplevels(fh[as.integer(fh$item) <= 100, c("rt", "task", "stimulus", "id", "item")])
fhch_data <- write_data("fhch2010_subset.csv", fh, c("task", "stimulus", "id", "item"))
# No installed data set has a proportion strictly inside (0, 1) with a grouping factor
# (nlme's Earthquake accel and HSAUR3's pottery are measurements, mlmRev's pcInd81 is
# constant within its groups): a simulated one, 40 groups of 10.
set.seed(20261208)
nb <- 40
sb <- data.frame(g = factor(rep(sprintf("g%02d", 1:nb), each = 10)), x = round(rnorm(nb * 10), 3))
eta <- -0.5 + 0.8 * sb$x + rep(rnorm(nb, sd = 0.6), each = 10)
mu <- plogis(eta)
sb$y <- rbeta(nrow(sb), mu * 8, (1 - mu) * 8)
sb$y <- as.numeric(sprintf("%.17g", sb$y))
sb <- sb[, c("y", "x", "g")]
beta_data <- write_data("sim_beta.csv", sb, "g")
cbpp_data <- list(name = "cbpp.csv", levels = list(period = as.character(1:4), herd = as.character(1:15)))
# contraception.csv is make_reference.R's file, read here as it is.
cn_data <- list(name = "contraception.csv",
                levels = lapply(as.data.frame(mlmRev::Contraception)[, c("use", "urban", "livch", "district")],
                                levels))
# HSAUR3's epilepsy: seizure counts of 59 patients over four two-week periods.
el <- as.data.frame(HSAUR3::epilepsy)[, c("seizure.rate", "treatment", "base", "age", "subject")]
names(el)[1] <- "seizures"
el$subject <- factor(as.character(el$subject), levels = levels(el$subject))
epilepsy_data <- write_data("epilepsy.csv", el, c("treatment", "subject"))

# ---------------------------------------------------------------------------------
# Fits.
# nlminb's relative tolerance, tightest first: at 1e-14 it often stops with "singular
# convergence (7)" (no step reduces the objective by that much in double precision);
# the first tolerance at which it reports convergence without a warning is kept.
# One thread (parallel = 1): the fits do not depend on how many cores the machine has.
tmb_control <- function(rel_tol)
  glmmTMBControl(optCtrl = list(iter.max = 1e4, eval.max = 1e4, rel.tol = rel_tol), parallel = 1)
tmb_rel_tols <- c(1e-14, 1e-12, 1e-10)
glmer_control <- function(tol_pwrss)
  glmerControl(optimizer = "nloptwrap", tolPwrss = tol_pwrss,
               optCtrl = list(ftol_abs = 1e-15, xtol_abs = 1e-12, ftol_rel = 1e-15, xtol_rel = 1e-12,
                              maxeval = 1e5))
dispersion_line <- function(m) {
  s <- grep("Dispersion", capture.output(summary(m)), value = TRUE)
  if (length(s)) s[1] else NULL
}
varcorr_terms <- function(vc) {
  lapply(vc, function(v) {
    sdv <- attr(v, "stddev")
    cr <- attr(v, "correlation")
    list(names = I(names(sdv)), sd = I(s17(sdv)),
         corr = if (length(sdv) > 1) I(s17(cr[lower.tri(cr)])) else I(character()))
  })
}
no_dispersion <- c("poisson", "truncated_poisson", "binomial")
models <- list()
fit_tmb <- function(id, data, formula, family, ziformula = NULL, subset = NULL, start = NULL) {
  d <- read_data(data)
  if (!is.null(subset)) d <- droplevels(d[eval(parse(text = subset), d), ])
  zi <- if (is.null(ziformula)) ~0 else as.formula(ziformula)
  fit <- function(control) {
    w <- character()
    t <- system.time(m <- withCallingHandlers(
      glmmTMB(as.formula(formula), d, family = family, ziformula = zi, control = control,
              start = start),
      warning = function(e) { w <<- c(w, conditionMessage(e)); invokeRestart("muffleWarning") }))
    list(m = m, w = w, t = t[["elapsed"]])
  }
  for (rel_tol in tmb_rel_tols) {
    r <- fit(tmb_control(rel_tol))
    control <- sprintf("rel.tol = %g", rel_tol)
    if (r$m$fit$convergence == 0 && !length(r$w)) break
  }
  if (r$m$fit$convergence != 0 || length(r$w)) {
    r <- fit(glmmTMBControl(parallel = 1))
    control <- "default"
  }
  m <- r$m
  fam <- family(m)
  ll <- logLik(m)
  fe <- fixef(m)
  re <- ranef(m)$cond[[1]]
  res <- list(data = data$name, subset = subset, formula = formula, zi_formula = ziformula,
              family = fam$family, link = fam$link, peer = "glmmTMB", laplace = "observed",
              factors = lapply(d[sapply(d, is.factor)], function(f) I(levels(f))), n = nobs(m),
              m2loglik = s17(-2 * as.numeric(ll)), df = attr(ll, "df"),
              beta = vec(fe$cond), se = I(s17(sqrt(diag(vcov(m)$cond)))),
              random = varcorr_terms(VarCorr(m)$cond),
              dispersion = if (fam$family %in% no_dispersion) NULL else s17(sigma(m)),
              dispersion_line = dispersion_line(m),
              tmb_par = vec(m$fit$par), tmb_objective_x2 = s17(2 * m$obj$fn(m$fit$par)),
              pearson_ss = s17(sum(residuals(m, type = "pearson")^2)),
              ranef_first = list(names = I(rownames(re)[1:5]), values = I(s17(re[1:5, 1]))),
              control = control, convergence = m$fit$convergence, pd_hess = m$sdr$pdHess,
              start = lapply(start, function(s) I(s17(s))), warnings = I(as.character(r$w)),
              elapsed = round(r$t, 3))
  if (!is.null(ziformula)) {
    res$zi_beta <- vec(fe$zi)
    res$zi_se <- I(s17(sqrt(diag(vcov(m)$zi))))
  }
  models[[id]] <<- res
  cat(sprintf("%-28s %-16s -2ll %.6f  %.2fs\n", id, control, -2 * as.numeric(ll), r$t))
}

# glmer's Laplace deviance function of c(theta, beta), PIRLS to 1e-12 where its first
# stage runs at that tolerance, else at the fit's own.
converged_devfun <- function(formula, d, family, fit_tol) {
  f <- tryCatch(glmer(as.formula(formula), data = d, family = family, control = glmer_control(1e-12),
                      devFunOnly = TRUE), error = function(e) NULL)
  if (!is.null(f)) return(list(f = f, tol = 1e-12))
  list(f = glmer(as.formula(formula), data = d, family = family, control = glmer_control(fit_tol),
                 devFunOnly = TRUE), tol = fit_tol)
}
fit_lme4 <- function(id, data, formula, family = NULL) {
  d <- read_data(data)
  w <- character()
  keep <- function(e) { w <<- c(w, conditionMessage(e)); invokeRestart("muffleWarning") }
  if (is.null(family)) {
    peer <- "glmer.nb"
    # PIRLS to 1e-12 can fail ("pwrssUpdate did not converge") at a trial point far
    # from the optimum (epil's theta search, sleepstudy's Gamma): the tightest tolerance
    # that fits is kept (`tol_pwrss`).
    for (tp in c(1e-12, 1e-10, 1e-8)) {
      w <- character()
      ctl <- glmer_control(tp)
      t <- system.time(m <- tryCatch(withCallingHandlers(
        glmer.nb(as.formula(formula), data = d, control = ctl, nb.control = ctl), warning = keep),
        error = function(e) NULL))
      if (!is.null(m)) break
    }
    disp <- getME(m, "glmer.nb.theta")
    # glmer.nb's last stage is glmer with negative.binomial(theta) at the final theta:
    # its deviance function at that theta, PIRLS to 1e-12.
    devfun <- converged_devfun(formula, d, MASS::negative.binomial(disp), tp)
    at_how <- "glmer(family = negative.binomial(glmer.nb.theta), devFunOnly = TRUE)"
  } else {
    peer <- "glmer"
    for (tp in c(1e-12, 1e-10, 1e-8)) {
      w <- character()
      ctl <- glmer_control(tp)
      t <- system.time(m <- tryCatch(withCallingHandlers(
        glmer(as.formula(formula), data = d, family = family, control = ctl), warning = keep),
        error = function(e) NULL))
      if (!is.null(m)) break
    }
    disp <- sigma(m)
    devfun <- converged_devfun(formula, d, family, tp)
    at_how <- "glmer(devFunOnly = TRUE)"
  }
  fam <- family(m)
  ll <- logLik(m)
  at <- devfun$f(c(getME(m, "theta"), fixef(m)))
  models[[id]] <<- list(
    data = data$name, formula = formula, family = fam$family, link = fam$link, peer = peer,
    laplace = "fisher", factors = lapply(d[sapply(d, is.factor)], function(f) I(levels(f))), n = nobs(m),
    m2loglik = s17(-2 * as.numeric(ll)), df = attr(ll, "df"),
    beta = vec(fixef(m)), se = I(s17(sqrt(diag(as.matrix(vcov(m)))))),
    random = varcorr_terms(VarCorr(m)), dispersion = s17(disp), dispersion_line = dispersion_line(m),
    theta = vec(getME(m, "theta")), m2loglik_at = s17(at), m2loglik_at_method = at_how,
    m2loglik_at_diff = s17(at - (-2 * as.numeric(ll))),
    m2loglik_at_tol_pwrss = devfun$tol, tol_pwrss = tp,
    conv_messages = I(as.character(unlist(m@optinfo$conv$lme4$messages))), warnings = I(as.character(w)),
    elapsed = round(t[["elapsed"]], 3))
  cat(sprintf("%-28s %-16s -2ll %.6f  devfun diff %.3g  %.2fs\n", id, peer, -2 * as.numeric(ll),
              at + 2 * as.numeric(ll), t[["elapsed"]]))
}

sal_f <- "count ~ spp + mined + (1 | site)"
fit_tmb("salamanders_nb2", sal_data, sal_f, nbinom2())
fit_lme4("salamanders_nb2_lme4", sal_data, sal_f)
fit_tmb("salamanders_nb1", sal_data, sal_f, nbinom1())
owl_f <- "SiblingNegotiation ~ FoodTreatment * SexParent + offset(log(BroodSize)) + (1 | Nest)"
fit_tmb("owls_nb1", owl_data, owl_f, nbinom1())
fit_tmb("owls_nb2", owl_data, owl_f, nbinom2())
epil_f <- "y ~ lbase * trt + lage + V4 + (1 | subject)"
fit_tmb("epil_nb2", epil_data, epil_f, nbinom2())
fit_lme4("epil_nb2_lme4", epil_data, epil_f)
fit_tmb("quine_nb2", quine_data, "Days ~ Eth + Sex + Lrn + (1 | Age)", nbinom2())
gt_f <- "TICKS ~ YEAR + cHEIGHT + (1 | BROOD) + (1 | LOCATION)"
fit_tmb("grouseticks_nb2", gt_data, gt_f, nbinom2())
fit_lme4("grouseticks_nb2_lme4", gt_data, gt_f)
fit_tmb("sleepstudy_gamma_log", ss_data, "Reaction ~ Days + (Days | Subject)", Gamma(link = "log"))
fit_lme4("sleepstudy_gamma_log_lme4", ss_data, "Reaction ~ Days + (Days | Subject)", Gamma(link = "log"))
# The inverse link needs a start on its scale: glmmTMB's default (beta 0, a random-effect
# sd of 1 on the link scale) puts 1 / mu far outside the data's 1 / 300.
inverse_start <- list(beta = c(1 / 300, 0), theta = log(3e-4))
fit_tmb("sleepstudy_gamma_inverse", ss_data, "Reaction ~ Days + (1 | Subject)", Gamma(link = "inverse"),
        start = inverse_start)
fit_tmb("fhch_gamma_log", fhch_data, "rt ~ task * stimulus + (1 | id) + (1 | item)", Gamma(link = "log"))
fit_tmb("sleepstudy_gaussian_log", ss_data, "Reaction ~ Days + (1 | Subject)", gaussian(link = "log"))
fit_tmb("sleepstudy_gaussian_inverse", ss_data, "Reaction ~ Days + (1 | Subject)", gaussian(link = "inverse"),
        start = c(inverse_start, list(betad = log(30))))
fit_lme4("sleepstudy_inverse_gaussian_lme4", ss_data, "Reaction ~ Days + (1 | Subject)",
         inverse.gaussian(link = "log"))
fit_tmb("sim_beta", beta_data, "y ~ x + (1 | g)", beta_family(link = "logit"))
fit_tmb("cbpp_betabinomial", cbpp_data, "cbind(incidence, size - incidence) ~ period + (1 | herd)",
        betabinomial())
fit_tmb("salamanders_truncpois", sal_data, sal_f, truncated_poisson(), subset = "count > 0")
fit_tmb("salamanders_truncnb2", sal_data, sal_f, truncated_nbinom2(), subset = "count > 0")
fit_tmb("salamanders_zipois", sal_data, sal_f, poisson(), ziformula = "~ spp + mined")
fit_tmb("salamanders_zinb2", sal_data, sal_f, nbinom2(), ziformula = "~1")
fit_tmb("salamanders_hurdle_nb2", sal_data, sal_f, truncated_nbinom2(), ziformula = "~ spp + mined")
# Zero-inflation of covariates with crossed grouping factors (site and species).
sal_crossed_f <- "count ~ mined + (1 | site) + (1 | spp)"
fit_tmb("salamanders_zipois_crossed", sal_data, sal_crossed_f, poisson(), ziformula = "~ mined")
fit_tmb("salamanders_zinb2_crossed", sal_data, sal_crossed_f, nbinom2(), ziformula = "~ mined")
# A constant zero-inflation (or hurdle) probability, ziformula = ~1: the Owls models of
# Brooks et al. (2017), and Salamanders' Poisson ones.
fit_tmb("owls_zinb1", owl_data, owl_f, nbinom1(), ziformula = "~1")
fit_tmb("owls_zinb2", owl_data, owl_f, nbinom2(), ziformula = "~1")
fit_tmb("salamanders_zipois1", sal_data, sal_f, poisson(), ziformula = "~1")
fit_tmb("salamanders_hurdle_pois1", sal_data, sal_f, truncated_poisson(), ziformula = "~1")
fit_tmb("salamanders_hurdle_nb2_1", sal_data, sal_f, truncated_nbinom2(), ziformula = "~1")
# Models the fits were not tuned on: other families, links and zero models on the same
# data sets, and more data sets, to catch what the cases above would let through.
fit_tmb("salamanders_zinb1", sal_data, sal_f, nbinom1(), ziformula = "~ spp + mined")
fit_tmb("salamanders_hurdle_pois", sal_data, sal_f, truncated_poisson(), ziformula = "~ spp + mined")
fit_tmb("salamanders_nb2_crossed", sal_data, "count ~ mined + (1 | site) + (1 | spp)", nbinom2())
fit_tmb("owls_zinb2_food", owl_data,
        "SiblingNegotiation ~ FoodTreatment + SexParent + offset(log(BroodSize)) + (1 | Nest)", nbinom2(),
        ziformula = "~ FoodTreatment")
fit_tmb("owls_zipois1", owl_data, owl_f, poisson(), ziformula = "~1")
fit_tmb("epil_nb1", epil_data, "y ~ trt + lbase + lage + V4 + (1 | subject)", nbinom1())
fit_tmb("quine_nb1", quine_data, "Days ~ Eth + Sex + Lrn + (1 | Age)", nbinom1())
fit_tmb("grouseticks_nb1_crossed", gt_data, "TICKS ~ YEAR + cHEIGHT + (1 | BROOD) + (1 | LOCATION)", nbinom1())
fit_tmb("cbpp_betabinomial_probit", cbpp_data, "cbind(incidence, size - incidence) ~ period + (1 | herd)",
        betabinomial(link = "probit"))
fit_tmb("sleepstudy_gaussian_log_slope", ss_data, "Reaction ~ Days + (Days | Subject)", gaussian(link = "log"))
fit_tmb("contraception_probit", cn_data, "use ~ urban + age + livch + (1 | district)", binomial(link = "probit"))
fit_tmb("epilepsy_nb2", epilepsy_data, "seizures ~ treatment + base + age + (1 | subject)", nbinom2())
# glmmTMB's profile-likelihood intervals of the fixed effects (its spline through the
# profile's points, so their ends are good to about 1e-3).
local({
  d <- read_data(sal_data)
  m <- glmmTMB(as.formula(sal_f), d, family = nbinom2(), control = glmmTMBControl(parallel = 1))
  ci <- confint(m, method = "profile", parm = "beta_")
  models$salamanders_nb2$profile_ci <<- list(names = I(rownames(ci)), lower = I(s17(ci[, 1])),
                                             upper = I(s17(ci[, 2])))
})

# ---------------------------------------------------------------------------------
# Density checks: glmmTMB fits without random effects; -2 logLik against -2 times the
# sum of the log densities above at the fitted mean (the link's inverse of the linear
# predictor) and sigma(m).
density_check <- list()
check <- function(fam_name, data, formula, family, subset = NULL, trials = NULL, phi = TRUE) {
  d <- read_data(data)
  if (!is.null(subset)) d <- droplevels(d[eval(parse(text = subset), d), ])
  m <- glmmTMB(as.formula(formula), d, family = family, control = glmmTMBControl(parallel = 1))
  mu <- family(m)$linkinv(predict(m, type = "link"))
  y <- model.response(model.frame(m))
  w <- 1
  if (!is.null(trials)) {
    w <- rowSums(y)
    y <- y[, 1]
  }
  ld <- if (fam_name %in% names(hand_truncated)) hand_truncated[[fam_name]] else logdens[[fam_name]]
  hand <- -2 * sum(ld(y, mu, if (phi) sigma(m) else NaN, w))
  density_check[[fam_name]] <<- list(formula = formula, data = data$name,
                                     max_abs_diff = s17(abs(hand - (-2 * as.numeric(logLik(m))))))
}
check("nbinom2", sal_data, "count ~ spp + mined", nbinom2())
check("nbinom1", sal_data, "count ~ spp + mined", nbinom1())
check("Gamma", ss_data, "Reaction ~ Days", Gamma(link = "log"))
check("gaussian", ss_data, "Reaction ~ Days", gaussian(link = "log"))
check("beta", beta_data, "y ~ x", beta_family())
check("betabinomial", cbpp_data, "cbind(incidence, size - incidence) ~ period", betabinomial(), trials = TRUE)
check("truncated_poisson", sal_data, "count ~ spp + mined", truncated_poisson(), subset = "count > 0", phi = FALSE)
check("truncated_nbinom2", sal_data, "count ~ spp + mined", truncated_nbinom2(), subset = "count > 0")
# glmmTMB has no inverse Gaussian family: its formula is checked against glm's, whose
# aic() is -2 log-likelihood + 2 (p + 1) at the dispersion dev / n.
g <- glm(Reaction ~ Days, data = read_data(ss_data), family = inverse.gaussian(link = "log"))
ig <- -2 * sum(logdens$inverse.gaussian(g$y, fitted(g), g$deviance / nobs(g), 1))
density_check$inverse.gaussian <- list(formula = "Reaction ~ Days", data = ss_data$name, peer = "glm",
                                       max_abs_diff = s17(abs(ig - (AIC(g) - 2 * (length(coef(g)) + 1)))))
for (f in names(density_check)) cat(sprintf("density check %-18s %s\n", f, density_check[[f]]$max_abs_diff))

ref <- list(models = models,
            `_meta` = list(R = R.version.string, glmmTMB = as.character(packageVersion("glmmTMB")),
                           TMB = as.character(packageVersion("TMB")), lme4 = as.character(packageVersion("lme4")),
                           MASS = as.character(packageVersion("MASS")), afex = as.character(packageVersion("afex")),
                           density_check = density_check))
writeLines(toJSON(ref, auto_unbox = TRUE, pretty = TRUE, null = "null", na = "null", digits = NA),
           file.path(out, "dispersion_reference.json"))
