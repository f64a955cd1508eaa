# The peers' wall times on models with residual correlation and variance structures:
# nlme's gls (unstructured: corSymm with a variance per visit) on trial1000, nlme's lme
# (random intercept with AR1 errors over visit numbers with gaps) on ar1_4000, and
# glmmTMB's us() term (the same unstructured model as a G-side term) on trial1000, and
# nlme's lme with crossed random effects (pdBlocked over one group of every row) and
# AR1 errors within a patient on crossed_ar1.
#
#   Rscript benchmarks/peers_structures.R          (from the repository's root)
#   Rscript benchmarks/peers_structures.R NAME ... (only the named cases, merged into
#                                                   the existing JSON)
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
Crossed_ar1 <- read_data("crossed_ar1.csv", c("patient", "site", "rater"))
Crossed_ar1$grp <- factor(1)
only <- commandArgs(trailingOnly = TRUE)

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

loglik <- function(f) as.numeric(logLik(f))
cases <- list(
  trial1000_us_gls = function() case("nlme gls", "trial1000.csv",
    "gls(y ~ arm * factor(visit) + base, Trial1000, correlation = corSymm(form = ~ visit | id), weights = varIdent(form = ~ 1 | visit))",
    loglik),
  ar1_4000_lme = function() case("nlme lme", "ar1_4000.csv",
    "lme(y ~ x, Ar1_4000, random = ~ 1 | id, correlation = corAR1(form = ~ visit | id))", loglik),
  trial1000_us_glmmtmb = function() case("glmmTMB", "trial1000.csv",
    "glmmTMB(y ~ arm * factor(visit) + base + us(factor(visit) + 0 | id), Trial1000, dispformula = ~ 0, REML = TRUE)",
    loglik),
  crossed_ar1_lme = function() case("nlme lme", "crossed_ar1.csv",
    "lme(y ~ x + visit, Crossed_ar1, random = list(grp = pdBlocked(list(pdIdent(~ site - 1), pdIdent(~ rater - 1)))), correlation = corAR1(form = ~ visit | grp/patient))",
    loglik)
)
path <- file.path("benchmarks", "peers_structures.json")
res <- if (length(only) && file.exists(path)) fromJSON(path, simplifyVector = FALSE) else list()
for (name in if (length(only)) only else names(cases)) res[[name]] <- cases[[name]]()
res$`_meta` <- list(R = R.version.string, nlme = as.character(packageVersion("nlme")),
                    glmmTMB = as.character(packageVersion("glmmTMB")),
                    TMB = as.character(packageVersion("TMB")),
                    cores = parallel::detectCores(),
                    note = "elapsed seconds of the fitting call only; median of 3 runs, or 1 run when the first took over 60 s")
writeLines(toJSON(res, auto_unbox = TRUE, digits = I(10), pretty = TRUE, null = "null", na = "null"), path)
