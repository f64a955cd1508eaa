# lme4's lmer on one user-call case: the case's formula on its data frame, REML with
# lme4's default optimiser.
#
#   Rscript lmer_formula.R DATA_DIR
#
# Builds the data frame from the raw little-endian columns frames.py writes (NAME.f64
# for numbers, NAME.i32 for 1-based factor codes), then times only lmer() and prints
# one JSON line.
suppressPackageStartupMessages({
  library(lme4)
  library(jsonlite)
})
d <- commandArgs(trailingOnly = TRUE)[[1]]
meta <- fromJSON(file.path(d, "meta.json"))
n <- meta$n
df <- list()
for (name in names(meta$columns)) {
  if (meta$columns[[name]] == "factor") {
    con <- file(file.path(d, paste0(name, ".i32")), "rb")
    df[[name]] <- factor(readBin(con, "integer", n = n, size = 4, endian = "little"))
  } else {
    con <- file(file.path(d, paste0(name, ".f64")), "rb")
    df[[name]] <- readBin(con, "double", n = n, size = 8, endian = "little")
  }
  close(con)
}
df <- as.data.frame(df)
invisible(gc())

t0 <- proc.time()[["elapsed"]]
fit <- lmer(as.formula(meta$lme4), data = df, REML = TRUE)
seconds <- proc.time()[["elapsed"]] - t0
cat(toJSON(list(peer = "lme4 lmer", version = as.character(packageVersion("lme4")),
                seconds = seconds, criterion = REMLcrit(fit), feval = fit@optinfo$feval,
                theta = unname(getME(fit, "theta")),
                messages = as.list(fit@optinfo$conv$lme4$messages)),
           auto_unbox = TRUE, digits = NA), "\n")
