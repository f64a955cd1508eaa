# lme4's numbers for R's ways of calling glmer and lmer: the criterion at a given
# (theta, beta) without optimising, offset= and weights= given as expressions of the
# data's columns, and subset= as an expression.
#
#   Rscript tests/data/glmm/make_call_reference.R    (from the repository's root)
#
# Writes tests/data/glmm/call_reference.json and tests/data/glmm/insurance.csv
# (MASS::Insurance with Age as an unordered factor, so that it has treatment
# contrasts as a pandas categorical does). Every double is written with 17 significant
# digits (it reads back as the same double).
suppressPackageStartupMessages({
  library(lme4)
  library(MASS)
  library(jsonlite)
})
out <- file.path("tests", "data", "glmm")

tight <- glmerControl(optimizer = "nloptwrap", tolPwrss = 1e-12,
                      optCtrl = list(ftol_abs = 1e-15, xtol_abs = 1e-12, ftol_rel = 1e-15,
                                     xtol_rel = 1e-12, maxeval = 1e5))
tight_lmer <- lmerControl(optimizer = "nloptwrap",
                          optCtrl = list(ftol_abs = 1e-15, xtol_abs = 1e-12, ftol_rel = 1e-15,
                                         xtol_rel = 1e-12, maxeval = 1e5))
d17 <- function(x) I(unname(as.numeric(x)))
# jsonlite prints at most 15 significant digits: every double goes out with 17 as a
# literal JSON fragment (as make_reference.R beside this script writes them).
doubles_17 <- function(x) {
  if (is.list(x)) return(lapply(x, doubles_17))
  if (!is.double(x)) return(x)
  fmt <- function(v) paste(ifelse(is.finite(v), sprintf("%.17g", v), "null"), collapse = ",")
  structure(paste0("[", fmt(x), "]"), class = "json")
}

fit_numbers <- function(fit) {
  list(nobs = nobs(fit), theta = d17(getME(fit, "theta")), beta = d17(fixef(fit)),
       beta_names = I(names(fixef(fit))), m2loglik = d17(-2 * as.numeric(logLik(fit))),
       sigma = d17(sigma(fit)))
}

ref <- list()

# -2 log-likelihood at a given point, nAGQ = 1: glmer's deviance function of
# c(theta, beta) (Laplace's approximation, all constants included), and the same
# function at glmer's own optimum (PIRLS to a relative change of 1e-12: glmer's default
# 1e-7 leaves the Laplace deviance ~1e-4 off at a point) beside the fit's -2 logLik, which shows that the two
# are the same quantity.
form <- cbind(incidence, size - incidence) ~ period + (1 | herd)
glmod <- glFormula(form, data = cbpp, family = binomial)
pirls <- glmerControl(tolPwrss = 1e-12)
devfun <- do.call(mkGlmerDevfun, c(glmod, list(control = pirls)))
opt0 <- optimizeGlmer(devfun)
devfun <- updateGlmerDevfun(devfun, glmod$reTrms, nAGQ = 1)
theta <- 0.5
beta <- c(-1, -1, -1.1, -1.5)
at_point <- devfun(c(theta, beta))
fit <- glmer(form, data = cbpp, family = binomial, control = tight)
devfun2 <- do.call(mkGlmerDevfun, c(glmod, list(control = pirls)))
opt2 <- optimizeGlmer(devfun2)
devfun2 <- updateGlmerDevfun(devfun2, glmod$reTrms, nAGQ = 1)
ref$point <- list(data = "cbpp", formula = "cbind(incidence, size - incidence) ~ period + (1 | herd)",
                  theta = d17(theta), beta = d17(beta), m2loglik = d17(at_point),
                  optimum_m2loglik = d17(-2 * as.numeric(logLik(fit))),
                  devfun_at_optimum = d17(devfun2(c(getME(fit, "theta"), fixef(fit)))))

# offset = log(Holders) on MASS::Insurance (Poisson claims per policy holder).
ins <- Insurance
ins$Age <- factor(as.character(ins$Age), levels = levels(ins$Age))
ins$District <- factor(as.character(ins$District))
write.csv(ins[, c("District", "Age", "Holders", "Claims")], file.path(out, "insurance.csv"), row.names = FALSE)
fit <- glmer(Claims ~ Age + (1 | District), data = ins, family = poisson, offset = log(Holders),
             control = tight)
ref$offset_glmer <- c(list(data = "insurance", formula = "Claims ~ Age + (1 | District)",
                           offset = "log(Holders)", age_levels = I(levels(ins$Age))), fit_numbers(fit))

# weights = an expression on sleepstudy (lmer), offset = an expression (lmer).
fit <- lmer(Reaction ~ Days + (Days | Subject), data = sleepstudy, weights = 1 / (1 + Days),
            control = tight_lmer)
ref$weights_lmer <- c(list(data = "sleepstudy", formula = "Reaction ~ Days + (Days | Subject)",
                           weights = "1 / (1 + Days)"), fit_numbers(fit))

# subset = an expression (lmer and glmer). -2 logLik of an lmer fit is its REML criterion.
fit <- lmer(Reaction ~ Days + (Days | Subject), data = sleepstudy,
            subset = Days >= 2 & Subject != "308", control = tight_lmer)
ref$subset_lmer <- c(list(data = "sleepstudy", formula = "Reaction ~ Days + (Days | Subject)",
                          subset = "Days >= 2 & Subject != \"308\""), fit_numbers(fit))
fit <- glmer(cbind(incidence, size - incidence) ~ period + (1 | herd), data = cbpp, family = binomial,
             subset = size > 10, control = tight)
ref$subset_glmer <- c(list(data = "cbpp", formula = "cbind(incidence, size - incidence) ~ period + (1 | herd)",
                           subset = "size > 10"), fit_numbers(fit))

ref$`_meta` <- list(R = R.version.string, lme4 = as.character(packageVersion("lme4")),
                    MASS = as.character(packageVersion("MASS")))
writeLines(toJSON(doubles_17(ref), auto_unbox = TRUE, json_verbatim = TRUE, pretty = TRUE), file.path(out, "call_reference.json"))
