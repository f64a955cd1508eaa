# emmeans' estimated marginal means and contrasts of lmer and glmer fits, for the tests
# of fit.emmeans() and its contrasts.
#
#   Rscript tests/data/emmeans/make_reference.R     (from the repository's root)
#
# Reads the data sets kept in tests/data and writes tests/data/emmeans/emmeans.json:
# per model its data, formula and family; per case the model, the call (specs, by,
# at, weights, type, df method, contrast method, adjustment, level) and emmeans'
# summary table (infer = TRUE for contrasts: intervals and tests), column by column.
# A non-finite number (the df of an asymptotic test) is written as null.
suppressPackageStartupMessages({library(lmerTest); library(emmeans); library(jsonlite)})
source(file.path("tests", "data", "reference_helpers.R"))
out <- file.path("tests", "data", "emmeans")
emm_options(msg.interaction = FALSE, msg.nesting = FALSE)

read <- read_factors
data <- list(
  unbalanced = read(file.path("tests", "data", "models", "unbalanced.csv"), c("A", "B", "g")),
  cbpp = read(file.path("tests", "data", "glmm", "cbpp.csv"), c("period", "herd")),
  grouseticks = read(file.path("tests", "data", "glmm", "grouseticks.csv"), c("YEAR", "LOCATION", "BROOD")),
  trial200 = read(file.path("tests", "data", "structures", "trial200.csv"), c("id", "arm"))
)
lmm_tight <- lmerControl(optimizer = "nloptwrap",
                         optCtrl = list(ftol_abs = 1e-15, xtol_abs = 1e-12, ftol_rel = 1e-15,
                                        xtol_rel = 1e-12, maxeval = 1e5))
glmm_tight <- glmerControl(optimizer = "nloptwrap", tolPwrss = 1e-12,
                           optCtrl = list(ftol_abs = 1e-15, xtol_abs = 1e-12, ftol_rel = 1e-15,
                                          xtol_rel = 1e-12, maxeval = 1e5))
models <- list(
  unbalanced = list(data = "unbalanced", family = "gaussian", factors = chr(c("A", "B")),
                    formula = "y ~ A * B + x + (1 | g)"),
  weighted = list(data = "unbalanced", family = "gaussian", factors = chr(c("A", "B")),
                  formula = "y ~ A * B + x + (1 | g)", weights = "w"),
  additive = list(data = "unbalanced", family = "gaussian", factors = chr(c("A", "B")),
                  formula = "y ~ A + B + x + (1 | g)"),
  cbpp = list(data = "cbpp", family = "binomial", factors = chr("period"),
              formula = "cbind(incidence, size - incidence) ~ period + (1 | herd)"),
  ticks = list(data = "grouseticks", family = "poisson", factors = chr("YEAR"),
               formula = "TICKS ~ YEAR + cHEIGHT + (1 | LOCATION)"),
  ticks_offset = list(data = "grouseticks", family = "poisson", factors = chr("YEAR"),
                      formula = "TICKS ~ YEAR + offset(log(HEIGHT)) + (1 | LOCATION)"),
  # nlme's gls; quorvelkit writes its AR(1) errors into the formula (`formula_qk`)
  trial_ar1 = list(data = "trial200", family = "gls", factors = chr("arm"),
                   formula = "y ~ arm * factor(visit) + base",
                   formula_qk = "y ~ arm * factor(visit) + base + ar1(visit | id)")
)
fits <- lapply(models, function(m) {
  d <- data[[m$data]]
  d$.w <- if (is.null(m$weights)) rep(1, nrow(d)) else d[[m$weights]]
  if (m$family == "gaussian") lmerTest::lmer(as.formula(m$formula), d, REML = TRUE, control = lmm_tight,
                                             weights = .w)
  else if (m$family == "gls") nlme::gls(as.formula(m$formula), d, correlation = nlme::corAR1(form = ~ visit | id))
  else glmer(as.formula(m$formula), d, family = m$family, control = glmm_tight)
})
# lmer's theta, so that the tests hold the same fit (not the same optimiser's stop)
for (id in names(models)) if (models[[id]]$family == "gaussian") models[[id]]$theta <- num(getME(fits[[id]], "theta"))

# One case: the means of `specs` (by, at, weights, type, df method), then either their
# summary (contrast NULL) or the summary of contrast(means, contrast) with `adjust`
# (NULL: emmeans' default for the method). A list `contrast` is custom coefficients.
case <- function(id, model, specs, by = NULL, at = NULL, weights = "equal", type = "link",
                 ddf = "satterthwaite", contrast = NULL, adjust = NULL, level = 0.95) {
  list(id = id, model = model, specs = chr(specs), by = if (is.null(by)) NULL else chr(by), at = at,
       weights = weights, type = type, ddf = ddf, contrast = contrast, adjust = adjust, level = level)
}
adjustments <- c("tukey", "holm", "bonferroni", "sidak", "scheffe", "fdr", "none")
cases <- c(
  list(
    case("means_A", "unbalanced", "A"),
    case("means_A_asymptotic", "unbalanced", "A", ddf = "asymptotic"),
    case("means_A_proportional", "unbalanced", "A", weights = "proportional"),
    case("means_A_by_B_kenward_roger", "unbalanced", "A", by = "B", ddf = "kenward-roger"),
    case("pairs_B_kenward_roger", "unbalanced", "B", contrast = "pairwise", ddf = "kenward-roger"),
    case("means_B_proportional_asymptotic", "unbalanced", "B", weights = "proportional", ddf = "asymptotic"),
    case("means_weighted_A_proportional", "weighted", "A", weights = "proportional"),
    case("means_additive_B_proportional", "additive", "B", weights = "proportional"),
    case("means_AB", "unbalanced", c("A", "B")),
    case("means_A_by_B", "unbalanced", "A", by = "B", level = 0.9),
    case("means_B_at", "unbalanced", "B", at = list(x = 1.5)),
    case("means_B_at_two", "unbalanced", "B", at = list(x = c(0.5, 2))),
    case("means_A_scheffe", "unbalanced", "A", adjust = "scheffe"),
    case("means_A_sidak", "unbalanced", "A", adjust = "sidak"),
    case("means_A_tukey", "unbalanced", "A", adjust = "tukey"),
    case("means_A_bonferroni", "unbalanced", "A", adjust = "bonferroni"),
    case("pairs_B", "unbalanced", "B", contrast = "pairwise"),
    case("pairs_B_asymptotic", "unbalanced", "B", contrast = "pairwise", ddf = "asymptotic"),
    case("pairs_B_proportional", "unbalanced", "B", weights = "proportional", contrast = "pairwise"),
    case("revpairs_A_by_B", "unbalanced", "A", by = "B", contrast = "revpairwise"),
    case("pairs_A_by_B_holm", "unbalanced", "A", by = "B", contrast = "pairwise", adjust = "holm"),
    case("pairs_AB_tukey", "unbalanced", c("A", "B"), contrast = "pairwise", level = 0.99),
    case("trt_B", "unbalanced", "B", contrast = "trt.vs.ctrl"),
    case("trt_B_sidak", "unbalanced", "B", contrast = "trt.vs.ctrl", adjust = "sidak"),
    case("trt_B_tukey", "unbalanced", "B", contrast = "trt.vs.ctrl", adjust = "tukey"),
    case("poly_B", "unbalanced", "B", contrast = "poly"),
    case("poly_B_scheffe", "unbalanced", "B", contrast = "poly", adjust = "scheffe"),
    case("poly_A_by_B", "unbalanced", "A", by = "B", contrast = "poly"),
    case("consec_B_none", "unbalanced", "B", contrast = "consec", adjust = "none"),
    case("consec_A_by_B_bonferroni", "unbalanced", "A", by = "B", contrast = "consec", adjust = "bonferroni"),
    case("custom_A", "unbalanced", "A", contrast = list(`a1 vs rest` = c(1, -0.5, -0.5), `a2 - a3` = c(0, 1, -1))),
    case("custom_A_one", "unbalanced", "A", contrast = list(`a2 - a3` = c(0, 1, -1)), adjust = "tukey"),
    case("cbpp_link", "cbpp", "period"),
    case("cbpp_response", "cbpp", "period", type = "response"),
    case("cbpp_odds_ratios", "cbpp", "period", type = "response", contrast = "pairwise"),
    case("cbpp_link_pairs", "cbpp", "period", contrast = "pairwise", adjust = "holm"),
    case("cbpp_trt", "cbpp", "period", type = "response", contrast = "trt.vs.ctrl"),
    case("cbpp_poly", "cbpp", "period", type = "response", contrast = "poly"),
    case("ticks_response", "ticks", "YEAR", type = "response"),
    case("gls_means_by_visit", "trial_ar1", "arm", by = "visit", ddf = "asymptotic"),
    case("gls_pairs_visit", "trial_ar1", "visit", contrast = "pairwise", ddf = "asymptotic", adjust = "sidak"),
    case("ticks_offset_response", "ticks_offset", "YEAR", at = list(HEIGHT = 450), type = "response"),
    case("ticks_offset_averaged", "ticks_offset", "YEAR", at = list(HEIGHT = c(400, 500)), contrast = "consec",
         adjust = "none"),
    case("ticks_rate_ratios", "ticks", "YEAR", type = "response", contrast = "revpairwise", adjust = "scheffe")
  ),
  lapply(adjustments, function(a) case(paste0("pairs_B_", a), "unbalanced", "B", contrast = "pairwise", adjust = a))
)

frame <- function(t) {
  t <- as.data.frame(t)
  setNames(lapply(names(t), function(n) if (is.numeric(t[[n]])) num(t[[n]]) else chr(t[[n]])), names(t))
}
res <- list(models = models, cases = list())
for (cs in cases) {
  if (!wanted(cs$id)) next
  m <- models[[cs$model]]
  fit <- fits[[cs$model]]
  args <- list(fit, cs$specs, by = cs$by, at = cs$at, weights = cs$weights, type = cs$type)
  if (m$family == "gaussian") args$lmer.df <- cs$ddf
  if (m$family == "gls") args[c("mode", "data")] <- list(cs$ddf, data[[m$data]])
  emm <- do.call(emmeans, args)
  if (is.null(cs$contrast)) {
    sm <- if (is.null(cs$adjust)) summary(emm, level = cs$level)
          else summary(emm, level = cs$level, adjust = cs$adjust)
  } else {
    con <- contrast(emm, cs$contrast)
    sm <- if (is.null(cs$adjust)) summary(con, infer = TRUE, level = cs$level)
          else summary(con, infer = TRUE, level = cs$level, adjust = cs$adjust)
  }
  got <- with_conditions(function() frame(sm))
  res$cases[[cs$id]] <- c(cs, list(table = got$value, messages = chr(attr(sm, "mesg"))))
}
res$`_meta` <- list(emmeans = as.character(packageVersion("emmeans")), lme4 = as.character(packageVersion("lme4")),
                    lmerTest = as.character(packageVersion("lmerTest")), R = R.version.string)
writeLines(toJSON(doubles_17(res), auto_unbox = TRUE, digits = NA, pretty = TRUE, null = "null", na = "null",
                  json_verbatim = TRUE),
           file.path(out, "emmeans.json"))
