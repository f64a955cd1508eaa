# lme4's lmer on one scenario's arrays, REML with its default optimiser.
#
#   Rscript lmer.R DATA_DIR
#
# Reads the raw column-major files scenarios.ensure_r_files writes (y.f64, x.f64, z.f64,
# g.i32, sizes from meta.json), then times only lmer() and prints one JSON line.
# The formula names every column and drops the implicit intercept on both
# sides, y ~ 0 + x0 + ... + (0 + z0 + ... | g), so lme4 builds exactly the
# X and Z every other contender is given.

suppressPackageStartupMessages(library(lme4))

args <- commandArgs(trailingOnly = TRUE)
d <- args[[1]]
meta_txt <- paste(readLines(file.path(d, "meta.json"), warn = FALSE), collapse = "")
field <- function(name) {
  as.numeric(sub(paste0('.*"', name, '": *([0-9]+).*'), "\\1", meta_txt))
}
n <- field("n"); p <- field("p"); q <- field("q")

read_f64 <- function(name, count) {
  con <- file(file.path(d, name), "rb")
  on.exit(close(con))
  readBin(con, "double", n = count, size = 8, endian = "little")
}
con <- file(file.path(d, "g.i32"), "rb")
g <- readBin(con, "integer", n = n, size = 4, endian = "little")
close(con)

x <- matrix(read_f64("x.f64", n * p), nrow = n)
z <- matrix(read_f64("z.f64", n * q), nrow = n)
df <- data.frame(y = read_f64("y.f64", n))
for (j in seq_len(p)) df[[paste0("x", j - 1)]] <- x[, j]
for (j in seq_len(q)) df[[paste0("z", j - 1)]] <- z[, j]
df$g <- factor(g)
rm(x, z, g)
invisible(gc())

form <- as.formula(paste0(
  "y ~ 0 + ", paste0("x", seq_len(p) - 1, collapse = " + "),
  " + (0 + ", paste0("z", seq_len(q) - 1, collapse = " + "), " | g)"))

t0 <- proc.time()[["elapsed"]]
fit <- lmer(form, data = df, REML = TRUE)
seconds <- proc.time()[["elapsed"]] - t0

json_str <- function(s) {
  s <- gsub("\\\\", "\\\\\\\\", s)
  s <- gsub('"', '\\\\"', s)
  paste0('"', gsub("[[:cntrl:]]", " ", s), '"')
}
num <- function(v) paste0("[", paste(sprintf("%.17g", v), collapse = ", "), "]")
msgs <- fit@optinfo$conv$lme4$messages
cat(sprintf(paste0('{"peer": "lme4 lmer", "version": "%s", "r_version": "%s", "matrix_version": "%s", ',
                   '"seconds": %.6f, "criterion": %.17g, "feval": %d, "optimizer": "%s", ',
                   '"theta": %s, "beta": %s, "messages": [%s]}\n'),
            as.character(packageVersion("lme4")), paste(R.version$major, R.version$minor, sep = "."),
            as.character(packageVersion("Matrix")), seconds, REMLcrit(fit),
            as.integer(fit@optinfo$feval), fit@optinfo$optimizer, num(getME(fit, "theta")),
            num(fixef(fit)), paste(vapply(as.character(msgs), json_str, ""), collapse = ", ")))
