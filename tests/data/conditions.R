# Shared by the reference scripts (sourced from the repository's root).
#
# Runs f, collecting the warnings and messages it raises (each muffled, so that the
# call runs on as it would with them); the value is f's. With on_error, an error ends
# f and on_error(e) is the value, the conditions raised before it kept. `chr` is the
# calling script's (a vector that stays a JSON array at length one).
with_conditions <- function(f, on_error = NULL) {
  warnings <- character(0)
  messages <- character(0)
  run <- function() withCallingHandlers(f(),
    warning = function(w) {
      warnings <<- c(warnings, conditionMessage(w))
      invokeRestart("muffleWarning")
    },
    message = function(m) {
      messages <<- c(messages, trimws(conditionMessage(m)))
      invokeRestart("muffleMessage")
    })
  value <- if (is.null(on_error)) run() else tryCatch(run(), error = on_error)
  list(value = value, warnings = chr(unique(warnings)), messages = chr(unique(messages)))
}
