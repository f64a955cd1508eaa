# lmerTest's ranova and drop1 tables and stats::drop1's likelihood-ratio tests of
# merMod fits, for the tests of fit.ranova() and fit.drop1().
#
#   Rscript tests/data/models/make_lrt_reference.R     (from the repository's root)
#
# Reads the data sets kept in tests/data and writes tests/data/models/lrt.json: per
# model its data, formula, REML flag and weights column (null: none), and each table's
# row names and columns.
suppressPackageStartupMessages({library(lmerTest); library(jsonlite)})
source(file.path("tests", "data", "reference_helpers.R"))
out <- file.path("tests", "data", "models")

read <- read_factors
data <- list(
  sleepstudy = read(file.path("tests", "data", "sleepstudy_data.csv"), "Subject"),
  orthodont = read(file.path(out, "orthodont.csv"), c("Subject", "Sex")),
  penicillin = read(file.path("tests", "data", "crossed", "penicillin.csv"), c("plate", "sample")),
  chickweight = read(file.path(out, "chickweight.csv"), "Chick"),
  ham = read(file.path("tests", "data", "crossed", "ham.csv"), c("Product", "Information", "Consumer"))
)
# The fits' optimiser run to convergence, so that the tables test the models and not
# the optimiser's stopping rule (update() keeps the control for every refit).
tight <- lmerControl(optimizer = "nloptwrap",
                     optCtrl = list(ftol_abs = 1e-15, xtol_abs = 1e-12, ftol_rel = 1e-15,
                                    xtol_rel = 1e-12, maxeval = 1e5))
models <- list(
  list(id = "sleep_reml", data = "sleepstudy", reml = TRUE, formula = "Reaction ~ Days + (Days | Subject)"),
  list(id = "sleep_ml", data = "sleepstudy", reml = FALSE, formula = "Reaction ~ Days + (Days | Subject)"),
  list(id = "sleep_uncorr", data = "sleepstudy", reml = TRUE, formula = "Reaction ~ Days + (Days || Subject)"),
  list(id = "sleep_intercept", data = "sleepstudy", reml = TRUE, formula = "Reaction ~ Days + (1 | Subject)"),
  list(id = "sleep_intercept_ml", data = "sleepstudy", reml = FALSE, formula = "Reaction ~ Days + (1 | Subject)"),
  list(id = "sleep_quadratic", data = "sleepstudy", reml = TRUE,
       formula = "Reaction ~ Days + (Days + I(Days^2) | Subject)"),
  list(id = "chick_weighted", data = "chickweight", reml = TRUE, formula = "weight ~ Time + (1 | Chick)",
       weights = "w"),
  list(id = "chick_slope", data = "chickweight", reml = FALSE, formula = "weight ~ Time + (0 + Time | Chick)"),
  list(id = "penicillin", data = "penicillin", reml = TRUE, formula = "diameter ~ 1 + (1 | plate) + (1 | sample)"),
  list(id = "penicillin_ml", data = "penicillin", reml = FALSE, formula = "diameter ~ 1 + (1 | plate) + (1 | sample)"),
  list(id = "ortho", data = "orthodont", reml = TRUE, formula = "distance ~ age * Sex + (age | Subject)"),
  list(id = "ortho_ml", data = "orthodont", reml = FALSE, formula = "distance ~ age * Sex + (age | Subject)"),
  list(id = "ortho_additive", data = "orthodont", reml = TRUE, formula = "distance ~ age + Sex + (1 | Subject)"),
  list(id = "ham", data = "ham", reml = TRUE,
       formula = "Informed.liking ~ Product * Information + (1 | Consumer) + (1 | Consumer:Product)")
)

res <- list()
for (m in models) {
  if (!wanted(m$id)) next
  d <- data[[m$data]]
  d$.w <- if (is.null(m$weights)) rep(1, nrow(d)) else d[[m$weights]]
  fit <- lmerTest::lmer(as.formula(m$formula), d, REML = m$reml, weights = .w, control = tight)
  res[[m$id]] <- c(m[c("data", "formula", "reml")], list(weights = m$weights,
    ranova = table_json(lmerTest::ranova(fit)),
    drop1 = table_json(drop1(fit)),
    drop1_chisq = table_json(stats::drop1(as(fit, "lmerMod"), test = "Chisq"))
  ))
}
# stats::drop1's likelihood-ratio tests of glmer fits (binomial, Laplace), optimised to
# convergence; the refits keep the control.
glmm_tight <- glmerControl(optimizer = "bobyqa", optCtrl = list(rhoend = 1e-10, maxfun = 1e5))
glmm_data <- list(
  contraception = read_factors(file.path("tests", "data", "glmm", "contraception.csv"),
                               c("use", "urban", "livch", "district")),
  cbpp = read_factors(file.path("tests", "data", "glmm", "cbpp.csv"), c("herd", "period"))
)
glmms <- list(
  list(id = "glmm_contraception", data = "contraception", formula = "use ~ age + I(age^2) + urban + livch + (1 | district)"),
  list(id = "glmm_cbpp", data = "cbpp", formula = "cbind(incidence, size - incidence) ~ period + (1 | herd)")
)
for (m in glmms) {
  if (!wanted(m$id)) next
  fit <- glmer(as.formula(m$formula), glmm_data[[m$data]], family = binomial, control = glmm_tight)
  res[[m$id]] <- c(m[c("data", "formula")], list(family = "binomial",
                                                  drop1_chisq = table_json(drop1(fit, test = "Chisq"))))
}
res$`_meta` <- list(lme4 = as.character(packageVersion("lme4")),
                    lmerTest = as.character(packageVersion("lmerTest")), R = R.version.string)
writeLines(toJSON(doubles_17(res), auto_unbox = TRUE, digits = NA, pretty = TRUE, null = "null", json_verbatim = TRUE),
           file.path(out, "lrt.json"))
