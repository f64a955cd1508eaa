# Shared by the reference scripts (sourced from the repository's root).

# The pieces named on the command line (every piece when none is).
only <- commandArgs(trailingOnly = TRUE)
wanted <- function(name) length(only) == 0 || name %in% only

# A CSV kept in tests/data, the columns ``factors`` made factors (levels sorted, as
# the tests' text labels sort).
read_factors <- function(path, factors) {
  d <- read.csv(path, stringsAsFactors = FALSE)
  for (col in factors) d[[col]] <- factor(d[[col]])
  d
}

# A table (an R anova or coefficient table) as its row names and numeric columns.
table_json <- function(t) {
  t <- as.data.frame(t)
  list(rows = chr(rownames(t)), columns = setNames(lapply(names(t), function(n) num(t[[n]])), names(t)))
}

# Vectors stay JSON arrays at length one (I() keeps jsonlite from unboxing them).
num <- function(x) I(unname(as.numeric(x)))
chr <- function(x) I(as.character(x))
named <- function(x) list(names = chr(names(x)), values = num(x))

# Runs f, collecting the warnings and messages it raises (each muffled, so that the
# call runs on as it would with them); the value is f's. With on_error, an error ends
# f and on_error(e) is the value, the conditions raised before it kept.
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

# Rows of the data for predict(): three rows as they are, the first row with a new
# level of the grouping column new_in, and the second row with new levels of every
# column of groups.
new_rows <- function(d, groups, new_in) {
  nd <- d[c(1, 2, nrow(d), 1, 2), , drop = FALSE]
  for (col in groups) nd[[col]] <- as.character(nd[[col]])
  nd[[new_in]][4] <- "new_level"
  for (col in groups) nd[[col]][5] <- "new_level"
  rownames(nd) <- NULL
  nd
}

# jsonlite prints at most 15 significant digits, so every double is written with 17
# (enough to read back the same double) as a literal JSON fragment; a non-finite value
# is null, a matrix a list of its rows.
doubles_17 <- function(x) {
  if (is.list(x)) return(lapply(x, doubles_17))
  if (!is.double(x)) return(x)
  fmt <- function(v) paste(ifelse(is.finite(v), sprintf("%.17g", v), "null"), collapse = ",")
  body <- if (is.matrix(x)) paste0("[", paste0("[", apply(x, 1, fmt), "]", collapse = ","), "]") else
    if (length(x) == 1 && !inherits(x, "AsIs")) fmt(x) else paste0("[", fmt(x), "]")
  structure(body, class = "json")
}
