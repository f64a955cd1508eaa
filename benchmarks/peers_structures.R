# The peers' wall times on models with residual correlation and variance structures:
# nlme's gls (unstructured: corSymm with a variance per visit) on trial1000, nlme's lme
# (random intercept with AR1 errors over visit numbers with gaps) on ar1_4000, and
# glmmTMB's us() term (the same unstructured model as a G-side term) on trial1000.
#
#   Rscript benchmarks/peers_structures.R     (from the repository's root)
#
# Reads the data sets tests/data/structures/make_reference.R writes and times only the
# fitting call (elapsed seconds), each data set loaded before the clock starts. A fit is
# run three times and the median kept; a fit whose first run takes over 60 s is run
# once. Writes benchmarks/peers_structures.json.
suppressPackageStartupMessages({
  library(nlme)
  library(glmmTMB)
  library(jsonlite)
})
data_dir <- file.path("tests", "data", "structures")
read_data <- function(file, labels) {
  d <- read.csv(file.path(data_dir, file), colClasses = "character", na.strings = "")
  for (col in names(d)) d[[col]] <- if (col %in% labels) factor(d[[col]]) else as.numeric(d[[col]])
  d
}
Trial1000 <- read_data("trial1000.csv", c("id", "arm"))
Ar1_4000 <- read_data("ar1_4000.csv", "id")

# One peer's fit timed: the call's text evaluated as written; the conditions it raises
# kept (a warning does not end the timing).
time_call <- function(call) {
  warnings <- character(0)
  invisible(gc())
  t0 <- proc.time()[["elapsed"]]
  fit <- withCallingHandlers(eval(parse(text = call)), warning = function(w) {
    warnings <<- c(warnings, conditionMessage(w))
    invokeRestart("muffleWarning")
  })
  list(seconds = proc.time()[["elapsed"]] - t0, fit = fit, warnings = unique(warnings))
}

case <- function(peer, data, call, criterion) {
  cat(peer, data, "\n")
  runs <- list(time_call(call))
  if (runs[[1]]$seconds <= 60) runs <- c(runs, list(time_call(call), time_call(call)))
  seconds <- vapply(runs, `[[`, 0, "seconds")
  fit <- runs[[1]]$fit
  list(peer = peer, data = data, call = call, seconds = median(seconds), runs = I(seconds),
       rows = nobs(fit), logLik = criterion(fit), warnings = I(unique(unlist(lapply(runs, `[[`, "warnings")))))
}

res <- list(
  trial1000_us_gls = case("nlme gls", "trial1000.csv",
    "gls(y ~ arm * factor(visit) + base, Trial1000, correlation = corSymm(form = ~ visit | id), weights = varIdent(form = ~ 1 | visit))",
    function(f) as.numeric(logLik(f))),
  ar1_4000_lme = case("nlme lme", "ar1_4000.csv",
    "lme(y ~ x, Ar1_4000, random = ~ 1 | id, correlation = corAR1(form = ~ visit | id))",
    function(f) as.numeric(logLik(f))),
  trial1000_us_glmmtmb = case("glmmTMB", "trial1000.csv",
    "glmmTMB(y ~ arm * factor(visit) + base + us(factor(visit) + 0 | id), Trial1000, dispformula = ~ 0, REML = TRUE)",
    function(f) as.numeric(logLik(f)))
)
res$`_meta` <- list(R = R.version.string, nlme = as.character(packageVersion("nlme")),
                    glmmTMB = as.character(packageVersion("glmmTMB")),
                    TMB = as.character(packageVersion("TMB")),
                    cores = parallel::detectCores(),
                    note = "elapsed seconds of the fitting call only; median of 3 runs, or 1 run when the first took over 60 s")
writeLines(toJSON(res, auto_unbox = TRUE, digits = I(10), pretty = TRUE, null = "null", na = "null"),
           file.path("benchmarks", "peers_structures.json"))
