# glmmTMB's Laplace fits of models where glmer stops short of the optimum (its checks
# warn "nearly unidentifiable" and lme4's own deviance function is lower elsewhere):
# glmmTMB evaluates the exact Laplace approximation by automatic differentiation and
# optimises it to a gradient of ~1e-8, a second peer's answer for the optimum.
#
#   Rscript tests/data/glmm/make_tmb_reference.R     (from the repository's root; after
#                                                     make_reference.R wrote the CSVs)
suppressPackageStartupMessages({
  library(glmmTMB)
  library(jsonlite)
})
out <- file.path("tests", "data", "glmm")
fits <- list()
case <- function(id, csv, formula, family, factors) {
  d <- read.csv(file.path(out, csv))
  for (f in factors) d[[f]] <- factor(d[[f]])
  m <- glmmTMB(as.formula(formula), d, family = family)
  sds <- sapply(VarCorr(m)$cond, function(v) sqrt(v[1, 1]))
  fits[[id]] <<- list(data = csv, formula = formula, family = family$family, link = family$link,
                      m2loglik = sprintf("%.17g", -2 * as.numeric(logLik(m))),
                      beta = sprintf("%.17g", fixef(m)$cond), beta_names = names(fixef(m)$cond),
                      sd = sprintf("%.17g", sds), sd_names = names(sds), factors = factors)
}
case("grouseticks_year_laplace", "grouseticks_year.csv", "TICKS ~ YEAR + (1 | BROOD) + (1 | LOCATION)",
     poisson(), c("BROOD", "LOCATION", "INDEX"))
writeLines(toJSON(list(models = fits, `_meta` = list(glmmTMB = as.character(packageVersion("glmmTMB")),
                                                       R = R.version.string)),
                  auto_unbox = TRUE, pretty = TRUE),
           file.path(out, "tmb_reference.json"))
