# R's printed form of p-values and of the other numbers of a test table, for the tests
# of quorvelkit's printed tables.
#
#   Rscript tests/data/make_pvalue_format_reference.R     (from the repository's root)
#
# Writes tests/data/pvalue_format.json: for each column of values, base R's
# format(values, digits = d) and format.pval(values, digits = d) (eps =
# .Machine$double.eps), as printCoefmat calls it: with 3 digits in lme4's and
# lmerTest's summary, with 4 in print.anova (lme4's and lmerTest's anova tables).
# Values are written with 17 significant digits so that both sides read the same doubles.
# Then, for each model of tests/data/models/lmertest.json, the p-value cells lmerTest
# prints in summary(fit) and anova(fit), cut from the printed text, and the lines of
# the printed anova(fit) table; and the p-value cells of lme4's likelihood-ratio table
# of three nested ML fits to sleepstudy.
suppressPackageStartupMessages({
  library(jsonlite)
  library(lmerTest)
})

columns <- list(
  c(2.2413509593446746e-18, 6.4126012310236736e-27),  # both beyond eps
  c(2.2413509593446746e-18, 3.26e-06),                # beyond eps beside a scientific value
  c(1.7e-318, 0.5),                                   # beside a short fixed value
  c(1e-300, 0.0123456, 0.5),
  c(1e-20, 0.03),
  c(1e-20, 0.0312345),
  c(0, 0.049),                                        # zero underflowed
  c(.Machine$double.eps, 1e-16),                      # eps itself is not below eps
  c(2.2e-16),
  c(1.7e-318),
  c(0.5, 0.001234),
  c(0.00012345, 0.5),
  c(9.99996e-05, 0.2),
  c(1.5e-05, 2.5e-09, 0.031),
  c(0.99999, 1),
  c(1, 0.5, 0.25),
  c(0.051, 0.0049),
  c(3.4e-07),
  c(0.0001),
  c(0.12345678)
)
numbers <- list(                                      # the other columns of a test table
  c(162703.2, 1207659.7),
  c(169.40144, 628.69034),
  c(161, 39.265540),
  c(22.810200, 161),
  c(1e-12, 3),
  c(-2.5, 1234.5678),
  c(0.000123, 45.6),
  c(123456789012, 1),
  c(99999.7, 0.3),
  c(9996, 0.5),                                       # rounding to 10^k in one form only
  c(9996, 1.25),
  c(99.96, 0.5),
  c(999.6, 0.123),
  c(99999.7, 1.5),
  c(9996, 99996),
  c(9996, 0.25),
  c(99996, 1.5)
)

cases <- list()
for (digits in c(3L, 4L)) {
  for (v in columns) {
    cases[[length(cases) + 1L]] <- list(
      digits = digits, values = sprintf("%.17g", v),
      format = format(v, digits = digits), format_pval = format.pval(v, digits = digits)
    )
  }
}
for (digits in 2:5) {
  for (v in numbers) {
    cases[[length(cases) + 1L]] <- list(digits = digits, values = sprintf("%.17g", v), format = format(v, digits = digits))
  }
}
# The cells of the column headed `last` in the table whose header follows the line
# `title` (NULL: the first line holding `last`): R right-aligns a column, so a cell
# runs from after the column before it (`before`) to the end of its header.
cells <- function(lines, title, before, last) {
  at <- if (is.null(title)) grep(last, lines, fixed = TRUE)[1] else match(title, lines) + 1L
  header <- lines[at]
  from <- regexpr(before, header, fixed = TRUE) + nchar(before) + 1L
  to <- regexpr(last, header, fixed = TRUE) + nchar(last) - 1L
  rows <- lines[(at + 1L):length(lines)]
  rows <- rows[seq_len(which(rows == "---" | rows == "")[1] - 1L)]
  trimws(substr(rows, from, to))
}
refs <- fromJSON(file.path("tests", "data", "models", "lmertest.json"))
printed <- list()
for (id in setdiff(names(refs), "_meta")) {
  r <- refs[[id]]
  d <- if (r$data == "sleepstudy") lme4::sleepstudy else read.csv(file.path("tests", "data", "models", paste0(r$data, ".csv")))
  for (col in intersect(c("Chick", "Subject", "Sex", "Type", "Worker", "Machine", "A", "B", "g"), names(d)))
    d[[col]] <- factor(d[[col]])
  fit <- lmerTest::lmer(as.formula(r$formula), d, REML = r$reml)
  a <- capture.output(print(anova(fit)))
  printed[[id]] <- list(
    summary_p = cells(capture.output(print(summary(fit))), "Fixed effects:", "t value", "Pr(>|t|)"),
    anova_p = cells(a, NULL, "F value", "Pr(>F)"),
    anova_lines = a[seq_len(match("---", a) - 1L)]    # heading, header and a row per term
  )
}
# lme4's likelihood-ratio tests of nested ML fits: one p-value far below eps, printed
# beside a short one.
formulas <- c("Reaction ~ 1 + (1 | Subject)", "Reaction ~ Days + (1 | Subject)",
              "Reaction ~ Days + I(Days^2) + (1 | Subject)")
fits <- lapply(formulas, function(f) lme4::lmer(as.formula(f), lme4::sleepstudy, REML = FALSE))
lr <- do.call(anova, fits)
printed$lr_sleepstudy <- list(
  formulas = formulas, chisq = sprintf("%.17g", lr$Chisq[-1]), p = sprintf("%.17g", lr[["Pr(>Chisq)"]][-1]),
  anova_p = cells(capture.output(print(lr)), NULL, "Df", "Pr(>Chisq)")
)

writeLines(
  toJSON(list(`_generated_by` = paste(R.version.string, "- tests/data/make_pvalue_format_reference.R"),
              cases = cases, printed = printed),
         auto_unbox = FALSE, pretty = TRUE),
  file.path("tests", "data", "pvalue_format.json")
)
