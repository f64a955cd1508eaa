# R's abbreviate(name, minlength = 6), as lme4 heads the columns of a summary's
# correlation table of fixed effects with it: tests/data/glmm/abbreviate_reference.json.
# Run from the repository's root: Rscript tests/data/glmm/make_abbreviate_reference.R
library(jsonlite)
names <- c("(Intercept)", "period2", "I(age^2)", "livch3+", "urbanY", "x", "Anger", "GenderM",
           "btypescold", "btypeshout", "situself", "YEAR97", "HEIGHT", "cHEIGHT",
           "age:urbanY", "log(exposure)", "poly(x, 2)1", "aeiou", "idea", "Days", "sqrt(area)",
           "treatmentB", "x1:x2:x3", "a b c d e f g", "zzzzzzzzz", "C(site)[T.B]", "period[T.2]",
           "I(x^2 - 1)", "Eueaeaea", "theta_1_b", "GESTATIONAL_AGE", "bmi.z", "ozone", "radio",
           "alpha beta gamma", "one two three", "data area zone", "idea aloe", "bae cdaxy", "mae torqx")
out <- lapply(names, function(n) list(name = n, abbreviation = unname(abbreviate(n, minlength = 6))))
writeLines(toJSON(list(cases = out, `_meta` = list(R = R.version.string)), auto_unbox = TRUE, pretty = TRUE),
           "tests/data/glmm/abbreviate_reference.json")
