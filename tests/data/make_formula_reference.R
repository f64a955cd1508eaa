# Real data sets and lme4 reference fits for the formula-layer tests.
#
#   Rscript tests/data/make_formula_reference.R     (from the repository root)
#
# Writes chickweight.csv, airquality.csv, co2.csv, orthodont.csv and star.csv (the data as
# a user would export them from R with write.csv: factors become their labels, NA stays
# "NA") and formula_reference.json with lme4's fits of the models the tests use.
#
# Text factors are refitted here with their levels in sorted order, which is what a
# reader of the CSV files sees (Python sorts the labels), so that the treatment-contrast
# coefficients of both fits are the same numbers in the same order. R's own level orders
# (Quebec before Mississippi, Male before Female, the ordered grades K < 1 < 2 < 3) would
# give another, equivalent parameterisation.

suppressPackageStartupMessages({
  library(lme4)
  library(jsonlite)
})
stopifnot(packageVersion("lme4") == "1.1.31")

out_dir <- if (dir.exists("tests/data")) "tests/data" else "."

as_plain <- function(d) {
  # Factors as their labels (what write.csv stores), everything else unchanged.
  for (v in names(d)) if (is.factor(d[[v]])) d[[v]] <- as.character(d[[v]])
  as.data.frame(d)
}

sorted_factors <- function(d) {
  # Text columns as factors with sorted levels (the order a CSV reader in Python uses).
  for (v in names(d)) if (is.character(d[[v]])) d[[v]] <- factor(d[[v]], levels = sort(unique(d[[v]]), method = "radix"))
  d
}

chick <- as_plain(datasets::ChickWeight)
air <- as_plain(datasets::airquality)
co2 <- as_plain(datasets::CO2)
ortho <- as_plain(nlme::Orthodont)
data(star, package = "mlmRev")
# The STAR class-size study (mlmRev's star): the pupils of schools 1 to 6 with a maths
# score, grades labelled K, 1, 2, 3.
star_sub <- star[star$sch %in% as.character(1:6) & !is.na(star$math),
                 c("id", "sch", "gr", "cltype", "sx", "math", "read")]
star_sub <- as_plain(star_sub)
rownames(star_sub) <- NULL

write.csv(chick, file.path(out_dir, "chickweight.csv"), row.names = FALSE)
write.csv(air, file.path(out_dir, "airquality.csv"), row.names = FALSE)
write.csv(co2, file.path(out_dir, "co2.csv"), row.names = FALSE)
write.csv(ortho, file.path(out_dir, "orthodont.csv"), row.names = FALSE)
write.csv(star_sub, file.path(out_dir, "star.csv"), row.names = FALSE)

summarise <- function(fit, data_file) {
  vc <- as.data.frame(VarCorr(fit))
  list(
    data = data_file,
    formula = paste(deparse(formula(fit), width.cutoff = 500L), collapse = ""),
    reml = isREML(fit),
    n = nobs(fit),
    m = unname(ngrps(fit)[1]),
    names = names(fixef(fit)),
    beta = unname(fixef(fit)),
    se_beta = unname(sqrt(diag(as.matrix(vcov(fit))))),
    theta = unname(getME(fit, "theta")),
    sigma = sigma(fit),
    criterion = if (isREML(fit)) unname(REMLcrit(fit)) else unname(deviance(fit)),
    loglik = as.numeric(logLik(fit)),
    singular = isSingular(fit),
    sd_re = vc$sdcor[1]
  )
}

chick_s <- sorted_factors(chick)
air_s <- sorted_factors(air)
co2_s <- sorted_factors(co2)
ortho_s <- sorted_factors(ortho)
star_s <- sorted_factors(star_sub)

fits <- list(
  chick_quadratic = summarise(lmer(weight ~ Time + I(Time^2) + (1 | Chick), chick_s), "chickweight.csv"),
  chick_diet = summarise(lmer(weight ~ Time + factor(Diet) + (1 | Chick), chick_s), "chickweight.csv"),
  airquality = summarise(lmer(Ozone ~ Solar.R + Wind + (1 | Month), air_s), "airquality.csv"),
  co2 = summarise(lmer(uptake ~ conc + Type + (1 | Plant), co2_s), "co2.csv"),
  orthodont = summarise(lmer(distance ~ age + Sex + (1 | Subject), ortho_s), "orthodont.csv"),
  star = summarise(lmer(math ~ gr + cltype + (1 | id), star_s), "star.csv")
)

# Likelihood-ratio test of Sex on Orthodont (both refitted by ML, as anova does).
m0 <- lmer(distance ~ age + (1 | Subject), ortho_s)
m1 <- lmer(distance ~ age + Sex + (1 | Subject), ortho_s)
a <- anova(m0, m1)
fits$orthodont_anova <- list(
  data = "orthodont.csv",
  formulas = c("distance ~ age + (1 | Subject)", "distance ~ age + Sex + (1 | Subject)"),
  Df = unname(a$npar),
  deviance = unname(a$deviance),
  Chisq = unname(a$Chisq[2]),
  chi_df = unname(a$Df[2]),
  p = unname(a[["Pr(>Chisq)"]][2])
)

writeLines(toJSON(fits, auto_unbox = TRUE, digits = NA, pretty = TRUE),
           file.path(out_dir, "formula_reference.json"))
