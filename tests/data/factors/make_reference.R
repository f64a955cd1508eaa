# R's reading of text columns as factors, for the tests of how quorvelkit reads data
# frames the way R does.
#
#   LOCPATH=<dir with en_US.UTF-8> LC_ALL=en_US.UTF-8 Rscript tests/data/factors/make_reference.R
#   (from the repository root; e.g. localedef -i en_US -f UTF-8 <dir>/en_US.UTF-8)
#
# Writes
#   collation.json  a table of awkward labels (case, digits, punctuation, spaces,
#                   accents) and R's sort() of them in the en_US.UTF-8 locale, the order
#                   factor() gives their levels;
#   socatt.csv, ome.csv, alfalfa.csv  mlmRev's Socatt, MASS's OME and nlme's Alfalfa as
#                   write.csv exports them (factors as their labels; OME's level "N/A"
#                   and Alfalfa's "None" are text, not missing);
#   fits.json       lme4's fits of models on those files and on star.csv, read back with
#                   read.csv, so that every text column is a factor with R's own level
#                   order (stringsAsFactors, or lmer's conversion of character columns).

suppressPackageStartupMessages({
  library(lme4)
  library(jsonlite)
})
stopifnot(packageVersion("lme4") == "1.1.31")
stopifnot(Sys.getlocale("LC_COLLATE") == "en_US.UTF-8")

out_dir <- if (dir.exists("tests/data/factors")) "tests/data/factors" else "."
star_csv <- file.path(dirname(out_dir), "star.csv")

labels <- c(
  "b", "A", "a", "B", "_x", "x1", "X1", "a b", "ab", "Ab", "aB", "AB", "a-b", "a.b", "a_b", "a/b",
  "1", "10", "2", "2-3", "3+", "01", "23", "46", "7p", "K", "N/A", "None", "none", "NA ", "high", "low",
  "Lib/SDP/Alliance", "conservative", "labour", "Roman Catholic", "Protestant", "others",
  "e", "E", "\u00e9", "\u00c9", "\u00e8", "\u00ea", "\u00eb", "\u0117", "\u0119", "\u0113",
  "c", "C", "\u010d", "\u00e7", "\u00c7", "\u00e5", "\u00e3", "\u0101", "\u00e6", "\u00df", "ss", "st",
  "\u00f8", "o", "p", "\u00f1", "n", "nz", " lead", "trail ", "z", "Z", "Zurich", "zebra", "a1", "a10", "a2"
)
write_json(list(labels = labels, sorted = sort(labels)), file.path(out_dir, "collation.json"),
           pretty = TRUE, auto_unbox = FALSE)

plain <- function(d) {
  for (v in names(d)) if (is.factor(d[[v]])) d[[v]] <- as.character(d[[v]])
  rownames(d) <- NULL
  as.data.frame(d)
}
data(Socatt, package = "mlmRev")
socatt <- plain(Socatt[, c("district", "respond", "year", "party", "religion", "age")])
write.csv(socatt, file.path(out_dir, "socatt.csv"), row.names = FALSE)
ome <- plain(MASS::OME)
ome$Wrong <- ome$Trials - ome$Correct
write.csv(ome, file.path(out_dir, "ome.csv"), row.names = FALSE)
alfalfa <- plain(nlme::Alfalfa)
write.csv(alfalfa, file.path(out_dir, "alfalfa.csv"), row.names = FALSE)

fit_json <- function(fit) {
  list(
    formula = paste(deparse(formula(fit)), collapse = ""),
    n = nobs(fit),
    beta = list(names = names(fixef(fit)), values = unname(fixef(fit))),
    theta = unname(getME(fit, "theta")),
    loglik = as.numeric(logLik(fit))
  )
}
# read.csv as a user reads these files: character columns, which lmer/glmer make
# factors with levels in sort() order; "N/A" stays a label (na.strings = "NA").
socatt_r <- read.csv(file.path(out_dir, "socatt.csv"))
ome_r <- read.csv(file.path(out_dir, "ome.csv"))
star_r <- read.csv(star_csv)
alfalfa_r <- read.csv(file.path(out_dir, "alfalfa.csv"))
fits <- list(
  socatt = fit_json(lmer(age ~ party + religion + (1 | district), socatt_r, REML = TRUE)),
  ome = fit_json(glmer(cbind(Correct, Wrong) ~ Loud + Age + OME + (1 | ID), ome_r, family = binomial)),
  star = fit_json(lmer(math ~ gr + cltype + (1 | id), star_r, REML = TRUE)),
  alfalfa = fit_json(lmer(Yield ~ Date + (1 | Block), alfalfa_r, REML = TRUE))
)
fits$alfalfa$levels <- list(Date = levels(factor(alfalfa_r$Date)))
fits$socatt$levels <- list(party = levels(factor(socatt_r$party)), religion = levels(factor(socatt_r$religion)))
fits$ome$levels <- list(OME = levels(factor(ome_r$OME)))
fits$star$levels <- list(gr = levels(factor(star_r$gr)), cltype = levels(factor(star_r$cltype)))
write_json(fits, file.path(out_dir, "fits.json"), digits = NA, pretty = TRUE, auto_unbox = TRUE)
