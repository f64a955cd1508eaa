# How R reads the response of a binomial or Poisson model: the values, trials and prior
# weights that glmer's (and glm's) family takes from a model frame, and what it warns
# or refuses, for the responses of the data sets beside this script and of a small
# frame of edge cases made here.
#
#   Rscript tests/data/glmm/make_response_reference.R     (from the repository's root)
#
# Writes tests/data/glmm/response_reference.json. Each case is read as glmer reads it:
# model.frame() of `LHS ~ 1` (missing rows omitted, unused factor levels dropped), the
# prior weights from `weights=`, then the family's own `initialize` code (binomial:
# y as a proportion, n the trials, weights times n for a two-column response) and its
# `aic()` at the starting means (where R's Poisson warns about non-integer counts).
suppressPackageStartupMessages(library(jsonlite))
out <- file.path("tests", "data", "glmm")

num <- function(x) I(unname(as.numeric(x)))
chr <- function(x) I(as.character(x))

read_data <- function(name) {
  meta <- fromJSON(file.path(out, paste0(name, ".json")), simplifyVector = TRUE)
  d <- read.csv(file.path(out, meta$data), colClasses = "character", na.strings = "")
  for (col in names(d))
    d[[col]] <- if (col %in% names(meta$factors)) factor(d[[col]], levels = meta$factors[[col]]) else
      as.numeric(d[[col]])
  d
}

# Edge cases no data set holds. A logical column with a missing value, a factor whose
# first level is unused, proportions whose successes are integral to within R's 1e-3 or
# not, a zero weight on a proportion, cbind() with weights and with counts off an
# integer by less or more than 1e-3, counts off an integer by less or more than R's
# 1e-7 (relative: a large count half-way between two integers is close enough).
edge <- data.frame(
  lgl = c(TRUE, FALSE, TRUE, TRUE, FALSE, FALSE, TRUE, NA),
  unused = factor(c("b", "c", "b", "c", "b", "c", "c", "b"), levels = c("a", "b", "c")),
  p = c(0.5, 0.25, 1, 0, 0.5, 0.5, 0.3333, 0),
  p_bad = c(0.5, 0.25, 1, 0, 0.5, 0.5, 0.3, 0),
  w = c(2, 4, 1, 3, 0, 2, 3, 5),
  s = c(1, 2, 1.0005, 3, 0, 1, 2, 1),
  s_bad = c(1, 2, 1.01, 3, 0, 1, 2, 1),
  f = c(1, 1, 2, 0, 0, 2, 1, 3),
  count_close = c(1, 2, 2.0000001, 3, 0, 1, 2, 1),
  count_off = c(1, 2, 2.000001, 3, 0, 1, 2, 1),
  count_large = c(1, 2, 123456789.5, 3, 0, 1, 2, 1),
  count_na = c(1, NA, 4, 3, 0, 1, 2, 1)
)

# One case a row: the data set, the left-hand side, the family and the prior weights
# (a column, or none).
table <- read.table(sep = ";", header = TRUE, strip.white = TRUE, colClasses = "character", text = "
id                     ; data        ; lhs                                       ; family   ; weights
cbpp_cbind             ; cbpp        ; cbind(incidence, size - incidence)        ; binomial ;
cbpp_proportion        ; cbpp        ; incidence/size                            ; binomial ; size
verbagg_factor         ; verbagg     ; r2                                        ; binomial ;
grouseticks_counts     ; grouseticks ; TICKS                                     ; poisson  ;
negative_count         ; bad_input   ; count_neg                                 ; poisson  ;
non_integer_count      ; bad_input   ; count_frac                                ; poisson  ;
successes_above_trials ; bad_input   ; cbind(succ, trials - succ)                ; binomial ;
zero_trials            ; bad_input   ; cbind(succ_zero, trials_zero - succ_zero) ; binomial ;
zero_trials_proportion ; bad_input   ; succ_zero/trials_zero                     ; binomial ; trials_zero
three_level_factor     ; bad_input   ; y3                                        ; binomial ;
non_integer_successes  ; bad_input   ; prop                                      ; binomial ; w_frac
response_above_one     ; bad_input   ; y01_two                                   ; binomial ;
separated_zero_one     ; bad_input   ; y_sep                                     ; binomial ;
logical                ; edge        ; lgl                                       ; binomial ;
unused_first_level     ; edge        ; unused                                    ; binomial ;
proportion_close       ; edge        ; p                                         ; binomial ; w
proportion_off         ; edge        ; p_bad                                     ; binomial ; w
cbind_weighted         ; edge        ; cbind(s, f)                               ; binomial ; w
cbind_off              ; edge        ; cbind(s_bad, f)                           ; binomial ;
bernoulli_weighted     ; edge        ; I(p > 0.4)                                ; binomial ; w
counts_close           ; edge        ; count_close                               ; poisson  ;
counts_off             ; edge        ; count_off                                 ; poisson  ;
counts_large           ; edge        ; count_large                               ; poisson  ;
counts_weighted        ; edge        ; count_na                                  ; poisson  ; w
")
cases <- lapply(split(table, factor(table$id, levels = table$id)), function(row) {
  case <- as.list(row[c("data", "lhs", "family")])
  if (row$weights != "") case$weights <- row$weights
  case
})

# The response as the family's initialize() and aic() see it, with what they warn; or
# the error they raise.
read_response <- function(d, case) {
  warnings <- character()
  res <- withCallingHandlers(tryCatch({
    fml <- as.formula(paste(case$lhs, "~ 1"))
    mf <- if (is.null(case$weights)) model.frame(fml, d, drop.unused.levels = TRUE) else
      eval(substitute(model.frame(fml, d, weights = W, drop.unused.levels = TRUE),
                      list(W = as.name(case$weights))))
    y <- model.response(mf)
    nobs <- NROW(y)
    weights <- if (is.null(model.weights(mf))) rep(1, nobs) else model.weights(mf)
    if (any(weights < 0)) stop("negative weights not allowed")
    family <- switch(case$family, binomial = binomial(), poisson = poisson())
    n <- NULL
    mustart <- NULL
    eval(family$initialize)
    family$aic(y, n, mustart, weights, 0)
    list(outcome = "read", rows = I(as.integer(rownames(mf))), y = num(y),
         trials = if (case$family == "binomial") num(if (NCOL(model.response(mf)) == 2) n else weights),
         prior_weights = num(weights))
  }, error = function(e) list(outcome = "error", error = conditionMessage(e))),
  warning = function(w) {
    warnings <<- c(warnings, conditionMessage(w))
    invokeRestart("muffleWarning")
  })
  c(res, list(warnings = chr(warnings)))
}

data_sets <- list(edge = edge)
result <- lapply(cases, function(case) {
  if (is.null(data_sets[[case$data]])) data_sets[[case$data]] <<- read_data(case$data)
  c(list(data = case$data, lhs = case$lhs, family = case$family, weights = case$weights),
    read_response(data_sets[[case$data]], case))
})
result$edge_data <- lapply(edge, function(col) if (is.factor(col)) list(levels = chr(levels(col)),
                                                                          values = chr(col)) else I(col))
result$`_meta` <- list(R = R.version.string, note = "rows are 1-based positions in the data")
writeLines(toJSON(result, auto_unbox = TRUE, pretty = TRUE, digits = NA, null = "null", na = "null"),
           file.path(out, "response_reference.json"))
