# Kenward and Roger's adjusted covariance of the fixed effects and their t and F tests,
# as pbkrtest computes them and lmerTest reports them (ddf = "Kenward-Roger"), for the
# tests of the fits' Kenward-Roger methods.
#
#   Rscript tests/data/models/make_kr_reference.R     (from the repository's root)
#
# Reads the data sets kept in tests/data and writes tests/data/models/kr.json: per
# model its data, formula, and pbkrtest's vcovAdj, lmerTest's coefficient table and
# type III table with Kenward-Roger's df, and the joint test of a contrast matrix L
# (lmerTest's contest(fit, L), pbkrtest's scaled F and its scaling).
suppressPackageStartupMessages({library(lmerTest); library(pbkrtest); library(jsonlite)})
source(file.path("tests", "data", "reference_helpers.R"))
out <- file.path("tests", "data", "models")

# Two data sets of afex, written here as CSV: a 3 x 3 factorial of repeated measures
# (obk.long: treatment x phase within id), and an unbalanced crossed psycholinguistic
# design (fhch2010's lexical decisions, subjects x items: 1,500 rows drawn at random).
export <- function() {
  data("obk.long", package = "afex", envir = environment())
  data("fhch2010", package = "afex", envir = environment())
  write.csv(obk.long[c("id", "treatment", "phase", "hour", "value")], file.path(out, "obk_long.csv"),
            row.names = FALSE)
  set.seed(20140101)
  f <- fhch2010[sort(sample(nrow(fhch2010), 1500)), c("id", "item", "task", "stimulus", "log_rt")]
  write.csv(f, file.path(out, "fhch_subset.csv"), row.names = FALSE)
}
if (wanted("export")) export()

read <- read_factors
data <- list(
  sleepstudy = read(file.path("tests", "data", "sleepstudy_data.csv"), "Subject"),
  orthodont = read(file.path(out, "orthodont.csv"), c("Subject", "Sex")),
  penicillin = read(file.path("tests", "data", "crossed", "penicillin.csv"), c("plate", "sample")),
  machines = read(file.path(out, "machines.csv"), c("Worker", "Machine")),
  oats = read(file.path("tests", "data", "crossed", "oats.csv"), c("Block", "Variety")),
  ham = read(file.path("tests", "data", "crossed", "ham.csv"), c("Product", "Information", "Consumer")),
  obk = read(file.path(out, "obk_long.csv"), c("id", "treatment", "phase")),
  fhch = read(file.path(out, "fhch_subset.csv"), c("id", "item", "task", "stimulus")),
  trial200 = read(file.path("tests", "data", "structures", "trial200.csv"), c("id", "arm"))
)
tight <- lmerControl(optimizer = "nloptwrap",
                     optCtrl = list(ftol_abs = 1e-15, xtol_abs = 1e-12, ftol_rel = 1e-15,
                                    xtol_rel = 1e-12, maxeval = 1e5))
# L: the rows of a contrast matrix tested jointly (one row per list element, one
# entry per fixed effect in the model's order).
models <- list(
  list(id = "sleep", data = "sleepstudy", formula = "Reaction ~ Days + (Days | Subject)",
       L = list(c(1, 0), c(1, 5))),
  list(id = "sleep_uncorr", data = "sleepstudy", formula = "Reaction ~ Days + (Days || Subject)",
       L = list(c(0, 1))),
  list(id = "penicillin", data = "penicillin", formula = "diameter ~ 1 + (1 | plate) + (1 | sample)",
       L = list(1)),
  list(id = "ortho", data = "orthodont", formula = "distance ~ age * Sex + (age | Subject)",
       L = list(c(0, 1, 0, 0), c(0, 0, 1, 8), c(0, 1, 1, 1))),
  list(id = "machines_nested", data = "machines",
       formula = "score ~ Machine + (1 | Worker) + (1 | Worker:Machine)",
       L = list(c(0, 1, 0), c(0, 0, 1), c(0, 1, -1))),
  list(id = "oats_splitplot", data = "oats", formula = "yield ~ nitro * Variety + (1 | Block / Variety)",
       L = list(c(0, 1, 0, 0, 0, 0), c(0, 0, 1, -1, 0, 0))),
  list(id = "ham", data = "ham",
       formula = "Informed.liking ~ Product * Information + (1 | Consumer) + (1 | Consumer:Product)",
       L = list(c(0, 1, 0, 0, 0, 0, 0, 0), c(0, 0, 1, 0, 0, 0, 0, 0), c(0, 0, 0, 1, 0, 0, 0, 0))),
  list(id = "obk_factorial", data = "obk", formula = "value ~ treatment * phase + (1 | id)",
       L = list(c(0, 1, -1, 0, 0, 0, 0, 0, 0), c(0, 0, 0, 1, 0, 0, 0, 0, 0))),
  list(id = "fhch_crossed", data = "fhch", formula = "log_rt ~ task * stimulus + (1 | id) + (1 | item)",
       L = list(c(0, 1, 0, 0), c(0, 0, 1, 1))),
  # Random intercepts that are compound symmetry in disguise (the structures' tests fit
  # them as cs(...) residual structures)
  list(id = "ortho_ri", data = "orthodont", formula = "distance ~ age * Sex + (1 | Subject)",
       L = list(c(0, 1, 0, 1), c(0, 0, 1, 0))),
  list(id = "trial200_ri", data = "trial200", formula = "y ~ arm * factor(visit) + base + (1 | id)",
       L = list(c(0, 1, 0, 0, 0, 0, 0, 0, 0), c(0, 0, 1, -1, 0, 0, 0, 0, 0)))
)

res <- list()
for (m in models) {
  if (!wanted(m$id)) next
  d <- data[[m$data]]
  fit <- lmerTest::lmer(as.formula(m$formula), d, REML = TRUE, control = tight)
  L <- do.call(rbind, m$L)
  adj <- as.matrix(pbkrtest::vcovAdj(fit))
  kr <- pbkrtest::KRmodcomp(as(fit, "lmerMod"), L)
  res[[m$id]] <- c(m[c("data", "formula")], list(
    L = L,
    fixef = named(fixef(fit)),
    vcov = unname(as.matrix(vcov(fit))),
    vcov_adjusted = unname(adj),
    coef = table_json(summary(fit, ddf = "Kenward-Roger")$coefficients),
    anova = table_json(anova(fit, ddf = "Kenward-Roger")),
    contest = table_json(lmerTest::contest(fit, L, ddf = "Kenward-Roger")),
    contest_rows = table_json(lmerTest::contest(fit, L, ddf = "Kenward-Roger", joint = FALSE)),
    krmodcomp = list(F = kr$test["Ftest", "stat"], ndf = kr$test["Ftest", "ndf"],
                     ddf = kr$test["Ftest", "ddf"], F_scaling = kr$test["Ftest", "F.scaling"],
                     p = kr$test["Ftest", "p.value"])
  ))
}
res$`_meta` <- list(lme4 = as.character(packageVersion("lme4")), pbkrtest = as.character(packageVersion("pbkrtest")),
                    lmerTest = as.character(packageVersion("lmerTest")), R = R.version.string)
writeLines(toJSON(doubles_17(res), auto_unbox = TRUE, digits = NA, pretty = TRUE, null = "null", json_verbatim = TRUE),
           file.path(out, "kr.json"))
