# pbkrtest's parametric bootstrap likelihood-ratio tests (PBmodcomp) between nested
# models, for the tests of qk.pbmodcomp: per pair the observed statistic, the
# reference distribution R drew, and the summary's tests of that distribution (LRT,
# PBtest, Gamma, Bartlett, F).
#
#   Rscript tests/data/models/make_pb_reference.R     (from the repository's root)
#
# PBmodcomp draws on parallel workers, so its seed does not fix the draws: a rerun
# writes another reference distribution (and its summary) for the same models.
suppressPackageStartupMessages({library(lme4); library(pbkrtest); library(jsonlite)})
source(file.path("tests", "data", "reference_helpers.R"))
out <- file.path("tests", "data", "models")

sleep <- read.csv(file.path("tests", "data", "sleepstudy_data.csv"))
sleep$Subject <- factor(sleep$Subject)
cbpp <- read.csv(file.path("tests", "data", "glmm", "cbpp.csv"))
cbpp$herd <- factor(cbpp$herd)
cbpp$period <- factor(cbpp$period)

pairs <- list(
  list(id = "sleep_slope", data = "sleepstudy", family = NULL, nsim = 400,
       large = "Reaction ~ Days + (Days | Subject)", small = "Reaction ~ Days + (1 | Subject)"),
  list(id = "sleep_days", data = "sleepstudy", family = NULL, nsim = 400,
       large = "Reaction ~ Days + (1 | Subject)", small = "Reaction ~ 1 + (1 | Subject)"),
  list(id = "cbpp_period", data = "cbpp", family = "binomial", nsim = 200,
       large = "cbind(incidence, size - incidence) ~ period + (1 | herd)",
       small = "cbind(incidence, size - incidence) ~ 1 + (1 | herd)")
)
res <- list()
for (m in pairs) {
  if (!wanted(m$id)) next
  if (is.null(m$family)) {
    large <- lmer(as.formula(m$large), sleep)
    small <- lmer(as.formula(m$small), sleep)
  } else {
    # The optimiser run to convergence (its default stops some 1e-4 short in deviance);
    # the refits of PBmodcomp keep the control.
    tight <- glmerControl(optimizer = "bobyqa", optCtrl = list(rhoend = 1e-10, maxfun = 1e5))
    large <- glmer(as.formula(m$large), cbpp, family = m$family, control = tight)
    small <- glmer(as.formula(m$small), cbpp, family = m$family, control = tight)
  }
  pb <- PBmodcomp(large, small, nsim = m$nsim, seed = 20240607)
  s <- summary(pb)
  res[[m$id]] <- c(m[c("data", "family", "large", "small", "nsim")], list(
    ref = num(as.numeric(pb$ref)),
    tobs = unname(pb$LRTstat[["tobs"]]),
    ndf = unname(pb$LRTstat[["df"]]),
    test = list(rows = chr(rownames(s$test)),
                columns = setNames(lapply(names(s$test), function(n) num(s$test[[n]])), names(s$test)))
  ))
}
res$`_meta` <- list(lme4 = as.character(packageVersion("lme4")), pbkrtest = as.character(packageVersion("pbkrtest")),
                    R = R.version.string)
writeLines(toJSON(doubles_17(res), auto_unbox = TRUE, digits = NA, pretty = TRUE, null = "null", json_verbatim = TRUE),
           file.path(out, "pb.json"))
