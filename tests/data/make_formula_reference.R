# Real data sets and lme4 reference fits for the formula-layer tests.
#
#   Rscript tests/data/make_formula_reference.R     (from the repository root)
#
# Writes chickweight.csv, airquality.csv, co2.csv, orthodont.csv and star.csv (the data as
# a user would export them from R with write.csv: factors become their labels, NA stays
# "NA") and formula_reference.json with lme4's fits of the models the tests use, the
# columns model.matrix makes of R's math functions, and R's round() to several digits.
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

# R's elementwise math, log with a base and round(), as model.matrix evaluates them on
# ChickWeight (quarters of Time, 0 to 21, fall on round()'s ties), and C()'s contrasts.
fits$chick_math <- summarise(
  lmer(weight ~ sin(2 * pi * Time / 21) + cos(2 * pi * Time / 21) + log(Time + 1, 2) + (1 | Chick), chick_s),
  "chickweight.csv"
)
for (contr in c("sum", "helmert", "poly")) {
  f <- as.formula(sprintf("weight ~ Time + C(Diet, contr.%s) + (1 | Chick)", contr))
  fits[[paste0("chick_diet_", contr)]] <- summarise(lmer(f, chick_s), "chickweight.csv")
}

# Exact values (17 significant digits, as text, so that they read back bit for bit).
exact <- function(v) sprintf("%.17g", v)
math_terms <- c(
  "sin(2*pi*Time/21)", "cos(Time)", "tan(Time/30)", "asin(Time/22)", "acos(Time/22)", "atan(Time - 10)",
  "sinh(Time/10)", "cosh(Time/10)", "tanh(Time/5 - 2)", "floor(Time/4)", "ceiling(Time/4)", "round(Time/4)",
  "round(-Time/4)", "round(Time/40, 1)", "round(Time/400 + 0.0005, 2)", "round(Time * 25, -1)",
  "trunc(Time/4 - 2.6)", "sign(Time - 10)", "exp(Time/21)", "log(Time + 1, 2)", "log(Time + 1, base = 10)",
  "log(Time + 1, 3)", "log(weight, 0.5)", "log(weight)", "round(weight/7, digits = 2)"
)
fits$math_columns <- list(
  data = "chickweight.csv",
  columns = lapply(setNames(math_terms, math_terms),
                   function(term) exact(unname(model.matrix(reformulate(term), chick)[, 2])))
)
round_x <- c(seq(-5, 5, by = 0.005), 0.15, 0.25, 0.35, 2.675, 1.005, 0.285, 1234.5678, 5.5e-10, 1e15 + 0.5,
             123456.785, -0.0005, 1e300, -1e-300)
fits$round <- list(
  x = exact(round_x),
  digits = c(-2, -1, 1, 2, 3, 5),
  values = lapply(c(-2, -1, 1, 2, 3, 5), function(d) exact(round(round_x, d)))
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
