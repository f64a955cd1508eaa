# nlme's and glmmTMB's numbers for linear models with residual correlation and variance
# structures within a subject (nlme's correlation = and weights =; glmmTMB's us, toep,
# cs and ar1 covariance terms), on data from nlme and on seeded clinical-trial designs.
#
#   Rscript tests/data/structures/make_reference.R                (from the repository's root)
#   Rscript tests/data/structures/make_reference.R oxboys_ar1 ... (only the named cases,
#                                                                  merged into the JSON)
#
# Writes each data set to tests/data/structures/NAME.csv and every reference to
# structures.json (a dict keyed by case name; "_versions" holds the peers' versions).
# Every fit is made from the CSV as read back, not from R's own objects, so that the
# numbers belong to exactly the data the tests read. README.md beside this script
# describes the files and the cases.
suppressPackageStartupMessages({
  library(nlme)
  library(glmmTMB)
  library(jsonlite)
})
source(file.path("tests", "data", "reference_helpers.R"))
out <- file.path("tests", "data", "structures")


# ---- data ----------------------------------------------------------------------------
# visit: the row's 1-based position within its subject, in the data's row order. nlme
# sorts the rows by subject and keeps their order within a subject, and corAR1(),
# corARMA() and corSymm() without a time covariate take these positions as times.
position <- function(id) as.integer(ave(seq_along(id), id, FUN = seq_along))

plain <- function(d, cols) {
  d <- as.data.frame(d)[, cols]
  for (col in cols) if (is.factor(d[[col]])) d[[col]] <- as.character(d[[col]])
  rownames(d) <- NULL
  d
}
ovary <- plain(nlme::Ovary, c("Mare", "Time", "follicles"))
ovary$visit <- position(ovary$Mare)
bodyweight <- plain(nlme::BodyWeight, c("Rat", "Time", "Diet", "weight"))
bodyweight$visit <- position(bodyweight$Rat)
orthodont <- plain(nlme::Orthodont, c("Subject", "age", "Sex", "distance"))
orthodont$visit <- position(orthodont$Subject)
dialyzer <- plain(nlme::Dialyzer, c("Subject", "QB", "pressure", "rate", "index"))
dialyzer$visit <- position(dialyzer$Subject)
wheat2 <- plain(nlme::Wheat2, c("Block", "variety", "yield", "latitude", "longitude"))
oxboys <- plain(nlme::Oxboys, c("Subject", "age", "height", "Occasion"))
oxboys$visit <- position(oxboys$Subject)

# Simulated trials. Responses are rounded to 4 decimals and covariates to 2, so that the
# CSV holds them exactly.
unstructured <- function(sds, cor) {
  stopifnot(all(eigen(cor, symmetric = TRUE, only.values = TRUE)$values > 0))
  outer(sds, sds) * cor
}
# trial200: 200 subjects, 4 visits, two arms (1:1), a baseline covariate, errors from an
# unstructured covariance (variances rising over the visits, correlations not patterned),
# no dropout.
set.seed(20261208)
n <- 200
sigma200 <- unstructured(c(2.0, 2.5, 3.0, 3.6),
                         rbind(c(1.0, 0.6, 0.5, 0.3), c(0.6, 1.0, 0.7, 0.5),
                               c(0.5, 0.7, 1.0, 0.65), c(0.3, 0.5, 0.65, 1.0)))
arm <- rep(c("ctl", "trt"), each = n / 2)[sample(n)]
base <- round(rnorm(n, 50, 8), 2)
e <- matrix(rnorm(n * 4), n) %*% chol(sigma200)
mu <- rbind(ctl = c(0, -1.0, -2.0, -2.5), trt = c(0, -1.8, -3.4, -4.6))
trial200 <- data.frame(id = rep(sprintf("s%03d", 1:n), each = 4), arm = rep(arm, each = 4),
                       visit = rep(1:4, n), base = rep(base, each = 4))
trial200$y <- round(20 + 0.4 * (trial200$base - 50) + mu[cbind(match(trial200$arm, rownames(mu)), trial200$visit)] +
                    as.vector(t(e)), 4)
trial200 <- trial200[, c("id", "arm", "visit", "base", "y")]

# trial1000: 1000 subjects, 10 visits, arm x visit means, an unstructured covariance
# whose correlations decay with the lag towards a floor (0.3 + 0.6 * 0.75^lag, not an
# AR1) and whose variances rise; monotone dropout, a hazard of 0.034 before each visit
# after the first (about 14% of the rows missing).
set.seed(20261209)
n <- 1000
lag <- abs(outer(1:10, 1:10, "-"))
sigma1000 <- unstructured(seq(2, 4, length.out = 10), ifelse(lag == 0, 1, 0.3 + 0.6 * 0.75^lag))
arm <- rep(c("ctl", "trt"), each = n / 2)[sample(n)]
base <- round(rnorm(n, 50, 8), 2)
e <- matrix(rnorm(n * 10), n) %*% chol(sigma1000)
mu <- rbind(ctl = -0.3 * (0:9), trt = -0.3 * (0:9) - 0.25 * (0:9) + 0.01 * (0:9)^2)
last <- pmin(10, 1 + rgeom(n, 0.034))
trial1000 <- data.frame(id = rep(sprintf("s%04d", 1:n), each = 10), arm = rep(arm, each = 10),
                        visit = rep(1:10, n), base = rep(base, each = 10))
trial1000$y <- round(20 + 0.4 * (trial1000$base - 50) + mu[cbind(match(trial1000$arm, rownames(mu)), trial1000$visit)] +
                     as.vector(t(e)), 4)
trial1000 <- trial1000[trial1000$visit <= rep(last, each = 10), c("id", "arm", "visit", "base", "y")]

# ar1_4000: 400 subjects, 10 equally spaced visits, a covariate x, a random intercept
# (sd 1.5) and AR1 errors over the visit numbers (rho 0.6, sd 1); each visit is missing
# with probability 0.1 independently (at least two visits kept), and visit keeps the real
# visit number, so the kept visits of a subject are not always consecutive.
set.seed(20261210)
n <- 400
rho <- 0.6
ar1 <- rho^lag
e <- matrix(rnorm(n * 10), n) %*% chol(ar1)
b <- rnorm(n, sd = 1.5)
ar1_4000 <- data.frame(id = rep(sprintf("s%03d", 1:n), each = 10), visit = rep(1:10, n),
                       x = round(rnorm(n * 10), 2))
ar1_4000$y <- round(5 + 0.8 * ar1_4000$x + rep(b, each = 10) + as.vector(t(e)), 4)
keep <- runif(n * 10) > 0.1
for (i in seq_len(n)) {
  rows <- (i - 1) * 10 + 1:10
  if (sum(keep[rows]) < 2) keep[rows[1:2]] <- TRUE
}
ar1_4000 <- ar1_4000[keep, c("id", "visit", "x", "y")]

# crossed_ar1: 80 patients of 5 visits at 6 sites, each visit scored by one of 9 raters
# drawn at random; random intercepts of site (sd 1) and rater (sd 0.7) crossed, AR1
# errors over the visits within a patient (rho 0.6, sd 0.8 for the innovations); 40
# visits missing at random.
set.seed(20261211)
np <- 80
crossed_ar1 <- data.frame(patient = rep(sprintf("p%03d", 1:np), each = 5), visit = rep(1:5, np))
crossed_ar1$site <- sprintf("s%d", 1 + (rep(1:np, each = 5) %% 6))
crossed_ar1$rater <- sprintf("r%02d", sample(1:9, 5 * np, replace = TRUE))
crossed_ar1$x <- round(rnorm(5 * np), 2)
site_eff <- rnorm(6, 0, 1.0)
rater_eff <- rnorm(9, 0, 0.7)
e <- unlist(lapply(1:np, function(i) as.numeric(arima.sim(list(ar = 0.6), 5, sd = 0.8))))
crossed_ar1$y <- round(2 + 0.5 * crossed_ar1$x + 0.3 * crossed_ar1$visit + site_eff[match(crossed_ar1$site, sprintf("s%d", 1:6))] +
                       rater_eff[match(crossed_ar1$rater, sprintf("r%02d", 1:9))] + e, 4)
crossed_ar1 <- crossed_ar1[-sample(5 * np, 40), ]

datasets <- list(ovary = ovary, bodyweight = bodyweight, orthodont = orthodont, dialyzer = dialyzer,
                 wheat2 = wheat2, oxboys = oxboys, trial200 = trial200, trial1000 = trial1000,
                 ar1_4000 = ar1_4000, crossed_ar1 = crossed_ar1)
# The text columns: grouping labels and factors (read as strings; R's levels are sorted).
labels <- list(ovary = "Mare", bodyweight = c("Rat", "Diet"), orthodont = c("Subject", "Sex"),
               dialyzer = c("Subject", "QB"), wheat2 = c("Block", "variety"),
               oxboys = c("Subject", "Occasion"), trial200 = c("id", "arm"),
               trial1000 = c("id", "arm"), ar1_4000 = "id", crossed_ar1 = c("patient", "site", "rater"))
files <- list()
for (name in names(datasets)) {
  files[[name]] <- paste0(name, ".csv")
  write.csv(datasets[[name]], file.path(out, files[[name]]), row.names = FALSE, na = "")
}

# The data exactly as a reader of the shipped CSV sees it: label columns as factors
# whose levels are the sorted labels, everything else numeric.
read_data <- function(name) {
  d <- read.csv(file.path(out, files[[name]]), colClasses = "character", na.strings = "")
  for (col in names(d)) d[[col]] <- if (col %in% labels[[name]]) factor(d[[col]]) else as.numeric(d[[col]])
  d
}
# The calls name the data sets as below; they live in the global environment, ahead of
# nlme's grouped-data objects of the same names, because nlme re-evaluates a fit's
# data argument (getData) there.
Ovary <- read_data("ovary")
BodyWeight <- read_data("bodyweight")
Orthodont <- read_data("orthodont")
Dialyzer <- read_data("dialyzer")
Wheat2 <- read_data("wheat2")
Oxboys <- read_data("oxboys")
Trial200 <- read_data("trial200")
Trial1000 <- read_data("trial1000")
Ar1_4000 <- read_data("ar1_4000")
Crossed_ar1 <- read_data("crossed_ar1")
frames <- list(ovary = Ovary, bodyweight = BodyWeight, orthodont = Orthodont, dialyzer = Dialyzer,
               wheat2 = Wheat2, oxboys = Oxboys, trial200 = Trial200, trial1000 = Trial1000,
               ar1_4000 = Ar1_4000, crossed_ar1 = Crossed_ar1)

# ---- nlme -----------------------------------------------------------------------------
matrix_rows <- function(m) unname(matrix(as.numeric(m), nrow(m), ncol(m)))

# coef() of a correlation or variance structure on nlme's natural scale and on its
# unconstrained (optimisation) scale.
struct_coef <- function(s) {
  if (is.null(s)) return(NULL)
  natural <- coef(s, unconstrained = FALSE)
  list(names = chr(names(natural)), values = num(natural),
       unconstrained = num(coef(s, unconstrained = TRUE)),
       class = chr(class(s)[1]))
}

# The random effects' covariance (one grouping level): standard deviations and the
# correlation matrix, from the pdMatrix scaled by sigma^2 (what VarCorr prints).
varcorr_lme <- function(fit) {
  re <- fit$modelStruct$reStruct
  if (length(re) != 1) stop("one grouping level expected")
  cv <- as.matrix(re[[1]]) * fit$sigma^2
  list(group = names(re)[1], pdClass = class(re[[1]])[1], names = chr(rownames(cv)),
       sd = num(sqrt(diag(cv))), cor = matrix_rows(cov2cor(cv)), cov = matrix_rows(cv))
}

# intervals(which = "var-cov"): nlme's Wald intervals, computed on the unconstrained
# scale from the numerical Hessian (apVar) and transformed back.
interval_block <- function(fit) {
  run <- with_conditions(function() intervals(fit, which = "var-cov"),
                         on_error = function(e) structure(conditionMessage(e), class = "failed"))
  if (inherits(run$value, "failed")) return(list(status = "failed", error = as.character(run$value),
                                                 warnings = run$warnings))
  iv <- run$value
  tab <- function(m) list(names = chr(rownames(m)), lower = num(m[, "lower"]), est = num(m[, "est."]),
                          upper = num(m[, "upper"]))
  res <- list(status = "fitted", warnings = run$warnings)
  if (!is.null(iv$reStruct)) res$reStruct <- lapply(iv$reStruct, function(m) tab(as.matrix(m)))
  if (!is.null(iv$corStruct)) res$corStruct <- tab(iv$corStruct)
  if (!is.null(iv$varStruct)) res$varStruct <- tab(iv$varStruct)
  res$sigma <- list(lower = iv$sigma[["lower"]], est = iv$sigma[["est."]], upper = iv$sigma[["upper"]])
  res
}

# The implied covariance of one subject's observations, in the subject's row order.
subject_cov <- function(fit, d, group, id) {
  v <- if (inherits(fit, "lme")) getVarCov(fit, individuals = id, type = "marginal")[[1]] else
    getVarCov(fit, individual = id)
  list(id = id, rows = I(which(as.character(d[[group]]) == id)), cov = matrix_rows(v))
}

# Three new rows of the first subject (a copy of its first three rows with the time
# covariate moved, where there is one). nlme's predict() gives X beta (and, for lme,
# X beta + Z b for the subject's predicted random effects); it never conditions on the
# subject's residuals through the correlation structure.
predict_block <- function(fit, newdata) {
  res <- list(newdata = lapply(newdata, function(col) if (is.factor(col)) chr(col) else num(col)),
              conditional_on_correlation = FALSE,
              note = "nlme's predict() does not use the residual correlation structure: the values are X beta (level 0) and X beta + Z b (level 1, lme) only")
  if (inherits(fit, "lme")) {
    p <- predict(fit, newdata, level = 0:1)
    res$level0 <- num(p$predict.fixed)
    res$level1 <- num(p[[ncol(p)]])
  } else res$level0 <- num(predict(fit, newdata))
  res
}

nlme_results <- function(fit, d, group, individuals, newdata) {
  ll <- logLik(fit)
  is_lme <- inherits(fit, "lme")
  beta <- if (is_lme) fixef(fit) else coef(fit)
  v <- vcov(fit)
  res <- list(logLik = as.numeric(ll), AIC = AIC(fit), BIC = BIC(fit), df = attr(ll, "df"),
              sigma = fit$sigma, nobs = nobs(fit),
              fixed = list(names = chr(names(beta)), estimate = num(beta), se = num(sqrt(diag(v))),
                           vcov = matrix_rows(v)),
              corStruct = struct_coef(fit$modelStruct$corStruct),
              varStruct = struct_coef(fit$modelStruct$varStruct),
              modelStruct_unconstrained = num(coef(fit$modelStruct)),
              apVar_ok = !is.character(fit$apVar))
  if (is_lme) res$VarCorr <- varcorr_lme(fit)
  # The tests' degrees of freedom (lme's by containment, gls's n - p) and the marginal
  # F tests of each term (anova(fit, type = "marginal")).
  tt <- summary(fit)$tTable
  res$fixed$df <- if (is_lme) num(tt[, "DF"]) else num(rep(nobs(fit) - length(beta), length(beta)))
  av <- anova(fit, type = "marginal")
  res$anova_marginal <- list(terms = chr(rownames(av)), numDF = num(av[["numDF"]]),
                             denDF = if (is_lme) num(av[["denDF"]]) else NULL,
                             F = num(av[["F-value"]]), p = num(av[["p-value"]]))
  res$subject_cov <- lapply(individuals, function(id) subject_cov(fit, d, group, id))
  rows <- seq_len(min(20, nrow(d)))
  res$fitted <- if (is_lme) list(rows = I(rows), level0 = num(fitted(fit, level = 0)[rows]),
                                 level1 = num(fitted(fit, level = 1)[rows])) else
    list(rows = I(rows), level0 = num(fitted(fit)[rows]))
  res$predict <- tryCatch(predict_block(fit, newdata),
                          error = function(e) list(status = "failed", error = conditionMessage(e)))
  res$intervals <- interval_block(fit)
  res
}

# The subjects whose covariance is recorded: the first in the data; where some subject
# has fewer rows than the most any has (a dropout or a skipped visit), the first such
# subject with more than two rows; and, when the first subject is itself short, the first
# subject with every row.
individuals_of <- function(d, group) {
  ids <- as.character(d[[group]])
  n <- table(ids)[unique(ids)]
  short <- names(n)[n < max(n) & n > 2]
  unique(c(ids[1], if (length(short)) short[1], if (n[[1]] < max(n)) names(n)[n == max(n)][1]))
}

fits <- list()
res <- list()
# One case: the call as text (evaluated as written), the data set's name, the subject
# column, and which column of the first subject's rows to move for the new rows of
# predict(). A fit that fails or warns is recorded, never dropped.
nlme_case <- function(id, data, call, group, time = NULL, shift = 0, timed = FALSE) {
  if (!wanted(id)) return(invisible())
  d <- frames[[data]]
  cat(id, "\n")
  t0 <- proc.time()[["elapsed"]]
  run <- with_conditions(function() eval(parse(text = call)),
                         on_error = function(e) structure(conditionMessage(e), class = "failed"))
  seconds <- proc.time()[["elapsed"]] - t0
  fit <- run$value
  rec <- list(data = files[[data]], call = call, peer = "nlme",
              method = if (inherits(fit, "failed")) if (grepl("\"ML\"", call)) "ML" else "REML" else fit$method,
              group = group, warnings = run$warnings, messages = run$messages)
  if (timed) rec$seconds <- seconds
  if (inherits(fit, "failed")) {
    rec$status <- "failed"
    rec$error <- as.character(fit)
  } else {
    rec$status <- if (length(run$warnings)) "warnings" else "fitted"
    # the first subject with three rows or more
    first <- if (is.null(group)) seq_len(3) else {
      ids <- as.character(d[[group]])
      n <- table(ids)[unique(ids)]
      which(ids == names(n)[n >= 3][1])[1:3]
    }
    newdata <- d[first, , drop = FALSE]
    if (!is.null(time)) newdata[[time]] <- newdata[[time]] + shift
    rownames(newdata) <- NULL
    individuals <- if (is.null(group)) character(0) else individuals_of(d, group)
    if (is.null(group)) {
      # one group: the whole data set (Wheat2's spatial fits)
      rec$subject_cov_note <- "no grouping factor: the covariance of all rows is one matrix; getVarCov is not defined"
    }
    rec <- c(rec, nlme_results(fit, d, group, individuals, newdata))
    fits[[id]] <<- fit
  }
  res[[id]] <<- rec
  invisible(fit)
}

# Likelihood-ratio rows of anova(a, b), in nlme's order.
anova_case <- function(id, a, b) {
  if (!wanted(id)) return(invisible())
  cat(id, "\n")
  if (is.null(fits[[a]]) || is.null(fits[[b]])) {
    res[[id]] <<- list(kind = "anova", models = chr(c(a, b)), status = "failed", error = "a fit failed")
    return(invisible())
  }
  run <- with_conditions(function() as.data.frame(anova(fits[[a]], fits[[b]])))
  t <- run$value
  res[[id]] <<- list(kind = "anova", models = chr(c(a, b)), status = "fitted", warnings = run$warnings,
                     call = sprintf("anova(%s, %s)", a, b),
                     df = num(t$df), AIC = num(t$AIC), BIC = num(t$BIC), logLik = num(t$logLik),
                     L.Ratio = num(t$L.Ratio), p.value = num(t[["p-value"]]))
}

# Ovary: corAR1() inherits the grouping of random (Mare) and takes row positions as times.
ovary_lme <- "lme(follicles ~ sin(2*pi*Time) + cos(2*pi*Time), Ovary, random = list(Mare = pdDiag(~ sin(2*pi*Time))), correlation = %s%s)"
nlme_case("ovary_lme_ar1", "ovary", sprintf(ovary_lme, "corAR1()", ""), "Mare", "Time", 1)
nlme_case("ovary_lme_ar1_ml", "ovary", sprintf(ovary_lme, "corAR1()", ", method = \"ML\""), "Mare", "Time", 1)
ovary_gls <- "gls(follicles ~ sin(2*pi*Time) + cos(2*pi*Time), Ovary, correlation = corAR1(form = ~ 1 | Mare)%s)"
nlme_case("ovary_gls_ar1", "ovary", sprintf(ovary_gls, ""), "Mare", "Time", 1)
nlme_case("ovary_gls_ar1_ml", "ovary", sprintf(ovary_gls, ", method = \"ML\""), "Mare", "Time", 1)
nlme_case("ovary_lme_arma", "ovary", sprintf(ovary_lme, "corARMA(p = 1, q = 1)", ""), "Mare", "Time", 1)

# BodyWeight: continuous-time AR1 in days within a rat; varPower() is a power of the
# fitted mean (form ~ fitted(.)).
bw <- "lme(weight ~ Time * Diet, BodyWeight, random = ~ Time | Rat, correlation = corCAR1(form = ~ Time)%s)"
nlme_case("bodyweight_car1", "bodyweight", sprintf(bw, ""), "Rat", "Time", 70)
nlme_case("bodyweight_car1_power", "bodyweight", sprintf(bw, ", weights = varPower()"), "Rat", "Time", 70)
anova_case("anova_bodyweight_car1_vs_power", "bodyweight_car1", "bodyweight_car1_power")

# Orthodont: compound symmetry with a variance per sex; the same marginal model as a
# random intercept; unstructured (a general correlation and a variance per age).
ocs <- "gls(distance ~ age * Sex, Orthodont, correlation = corCompSymm(form = ~ 1 | Subject), weights = varIdent(form = ~ 1 | Sex)%s)"
osymm <- "gls(distance ~ age * Sex, Orthodont, correlation = corSymm(form = ~ 1 | Subject), weights = varIdent(form = ~ 1 | age)%s)"
nlme_case("orthodont_gls_cs_ident", "orthodont", sprintf(ocs, ""), "Subject", "age", 8)
nlme_case("orthodont_lme_ident", "orthodont",
          "lme(distance ~ age * Sex, Orthodont, random = ~ 1 | Subject, weights = varIdent(form = ~ 1 | Sex))",
          "Subject", "age", 8)
nlme_case("orthodont_gls_symm", "orthodont", sprintf(osymm, ""), "Subject", "age", 8)
nlme_case("orthodont_gls_cs_ident_ml", "orthodont", sprintf(ocs, ", method = \"ML\""), "Subject", "age", 8)
nlme_case("orthodont_gls_symm_ml", "orthodont", sprintf(osymm, ", method = \"ML\""), "Subject", "age", 8)
anova_case("anova_orthodont_cs_ident_vs_symm_ml", "orthodont_gls_cs_ident_ml", "orthodont_gls_symm_ml")
anova_case("anova_orthodont_cs_ident_vs_symm_reml", "orthodont_gls_cs_ident", "orthodont_gls_symm")

# Dialyzer: variance a power (or exponential) of the pressure, with and without AR1 on
# the positions within a subject.
dia <- "lme(rate ~ (pressure + I(pressure^2) + I(pressure^3) + I(pressure^4)) * QB, Dialyzer, random = ~ pressure + I(pressure^2) | Subject, weights = %s%s)"
nlme_case("dialyzer_power_ar1", "dialyzer", sprintf(dia, "varPower(form = ~ pressure)", ", correlation = corAR1()"),
          NULL, "pressure", 0.1)
nlme_case("dialyzer_power", "dialyzer", sprintf(dia, "varPower(form = ~ pressure)", ""), "Subject", "pressure", 0.1)
nlme_case("dialyzer_exp", "dialyzer", sprintf(dia, "varExp(form = ~ pressure)", ""), "Subject", "pressure", 0.1)
anova_case("anova_dialyzer_power_vs_power_ar1", "dialyzer_power", "dialyzer_power_ar1")
# gls with a variance of the fitted mean (varPower()'s default form), by ML.
nlme_case("dialyzer_gls_power_fitted_ml", "dialyzer",
          "gls(rate ~ (pressure + I(pressure^2) + I(pressure^3) + I(pressure^4)) * QB, Dialyzer, weights = varPower(), method = \"ML\")",
          NULL, "pressure", 0.1)

# A case whose call under nlme's defaults fails: the calls are tried in order, and the
# first that fits is the case's record; the failed ones are kept in it as attempts.
fallback_case <- function(id, data, calls, group, ...) {
  if (!wanted(id)) return(invisible())
  attempts <- list()
  for (call in calls) {
    nlme_case(id, data, call, group, ...)
    if (res[[id]]$status != "failed") break
    attempts <- c(attempts, list(res[[id]][c("call", "error", "warnings")]))
  }
  res[[id]]$failed_attempts <<- attempts
}

# Wheat2: spatial correlation over the field (one group). nlme's default start first,
# then the start of nlme's examples, then optim in place of nlminb.
wheat <- "gls(yield ~ variety - 1, Wheat2, correlation = %s%s)"
fallback_case("wheat2_exp", "wheat2",
              c(sprintf(wheat, "corExp(form = ~ latitude + longitude, nugget = TRUE)", ""),
                sprintf(wheat, "corExp(c(28, 0.2), form = ~ latitude + longitude, nugget = TRUE)", ""),
                sprintf(wheat, "corExp(c(28, 0.2), form = ~ latitude + longitude, nugget = TRUE)",
                        ", control = glsControl(opt = \"optim\")")), NULL)
# From a small start nlminb runs the range far out and the nugget to zero, at a higher
# REML likelihood than optim's stopping point: this likelihood has no finite maximiser
# (it rises towards range = Inf, where the exponential's variogram is linear).
nlme_case("wheat2_exp_start_5", "wheat2",
          sprintf(wheat, "corExp(c(5, 0.1), form = ~ latitude + longitude, nugget = TRUE)", ""), NULL)
if (wanted("wheat2_exp"))
  res$wheat2_exp$note <- paste(
    "nlminb stops with false convergence (8) from nlme's default start and from c(28, 0.2);",
    "optim stops at a large range and a small nugget; from c(5, 0.1) nlminb reaches a still larger range",
    "and a higher log-likelihood (wheat2_exp_start_5): the REML likelihood has no finite maximiser.")
fallback_case("wheat2_gaus", "wheat2",
              c(sprintf(wheat, "corGaus(form = ~ latitude + longitude, nugget = TRUE)", ""),
                sprintf(wheat, "corGaus(c(28, 0.2), form = ~ latitude + longitude, nugget = TRUE)", "")), NULL)
fallback_case("wheat2_exp_nonugget", "wheat2",
              c(sprintf(wheat, "corExp(form = ~ latitude + longitude)", ""),
                sprintf(wheat, "corExp(28, form = ~ latitude + longitude)", "")), NULL)

# Oxboys: intercepts and slopes per boy, AR1 on the positions. nlminb reaches its
# iteration limit under the defaults; optim stops near Phi = 0.978, which is not a
# maximum either (the likelihood still rises with Phi there): the AR1 correlation and
# the random intercept are confounded as Phi approaches 1. The log-likelihoods at fixed
# values of Phi, where nlminb converges, are recorded as profile points.
ox <- "lme(height ~ age, Oxboys, random = ~ age | Subject, correlation = corAR1(%s)%s%s)"
fallback_case("oxboys_ar1", "oxboys",
              c(sprintf(ox, "", "", ""), sprintf(ox, "", "", ", control = lmeControl(opt = \"optim\")")),
              "Subject", "age", 0.1)
fallback_case("oxboys_ar1_ml", "oxboys",
              c(sprintf(ox, "", ", method = \"ML\"", ""),
                sprintf(ox, "", ", method = \"ML\"", ", control = lmeControl(opt = \"optim\")")),
              "Subject", "age", 0.1)
for (ml in c(FALSE, TRUE)) {
  id <- if (ml) "oxboys_ar1_ml" else "oxboys_ar1"
  if (!wanted(id)) next
  res[[id]]$note <- "not at a maximum: see fixed_phi_profile (the log-likelihood rises with Phi beyond the estimate)"
  res[[id]]$fixed_phi_profile <- lapply(c(0.5, 0.8, 0.9, 0.95, 0.97, 0.975, 0.98, 0.981, 0.985), function(phi) {
    call <- sprintf(ox, sprintf("%g, fixed = TRUE", phi), if (ml) ", method = \"ML\"" else "", "")
    run <- with_conditions(function() as.numeric(logLik(eval(parse(text = call)))),
                           on_error = function(e) structure(conditionMessage(e), class = "failed"))
    if (inherits(run$value, "failed")) list(phi = phi, call = call, status = "failed", error = as.character(run$value))
    else list(phi = phi, call = call, status = "fitted", logLik = run$value)
  })
}

# trial200: the usual covariance structures of a repeated-measures analysis of a trial.
tr <- "gls(y ~ arm * factor(visit) + base, Trial200, correlation = %s%s)"
nlme_case("trial200_us", "trial200",
          sprintf(tr, "corSymm(form = ~ visit | id), weights = varIdent(form = ~ 1 | visit)", ""), "id")
nlme_case("trial200_us_ml", "trial200",
          sprintf(tr, "corSymm(form = ~ visit | id), weights = varIdent(form = ~ 1 | visit)", ", method = \"ML\""), "id")
nlme_case("trial200_cs", "trial200", sprintf(tr, "corCompSymm(form = ~ visit | id)", ""), "id")
nlme_case("trial200_csh", "trial200",
          sprintf(tr, "corCompSymm(form = ~ visit | id), weights = varIdent(form = ~ 1 | visit)", ""), "id")
nlme_case("trial200_ar1", "trial200", sprintf(tr, "corAR1(form = ~ visit | id)", ""), "id")
nlme_case("trial200_ar1h", "trial200",
          sprintf(tr, "corAR1(form = ~ visit | id), weights = varIdent(form = ~ 1 | visit)", ""), "id")
anova_case("anova_trial200_cs_vs_us", "trial200_cs", "trial200_us")
anova_case("anova_trial200_ar1_vs_ar1h", "trial200_ar1", "trial200_ar1h")

# trial1000: unstructured with dropout (corSymm indexes its correlations by the visit
# number, so a subject who left early has the leading block of the matrix). Timed.
nlme_case("trial1000_us", "trial1000",
          "gls(y ~ arm * factor(visit) + base, Trial1000, correlation = corSymm(form = ~ visit | id), weights = varIdent(form = ~ 1 | visit))",
          "id", timed = TRUE)

# ar1_4000: random intercept and AR1 over visit numbers with gaps. corAR1 takes an
# integer time covariate; where the times within a subject are not consecutive integers,
# nlme's Initialize.corAR1 turns the structure into corARMA(p = 1, q = 0), whose
# correlations are phi^|t_i - t_j| in the times themselves (not the positions).
nlme_case("ar1_4000_lme", "ar1_4000",
          "lme(y ~ x, Ar1_4000, random = ~ 1 | id, correlation = corAR1(form = ~ visit | id))",
          "id", "x", 0.5, timed = TRUE)
nlme_case("ar1_4000_car1", "ar1_4000",
          "lme(y ~ x, Ar1_4000, random = ~ 1 | id, correlation = corCAR1(form = ~ visit | id))",
          "id", "x", 0.5, timed = TRUE)
if (!is.null(fits$ar1_4000_lme) && !inherits(fits$ar1_4000_lme, "failed")) {
  cs <- fits$ar1_4000_lme$modelStruct$corStruct
  res$ar1_4000_lme$corStruct_class_after_fit <- chr(class(cs))
  res$ar1_4000_lme$gap_handling <- paste(
    "corAR1 with a time covariate whose values within a subject are not consecutive integers is",
    "initialised as corARMA(p = 1, q = 0) (nlme's Initialize.corAR1): the correlation of visits",
    "t and s is Phi^|t - s| in the visit numbers, not in the positions within the subject.",
    "Its coefficient is named Phi1 (corARMA) instead of Phi.")
}

# ---- glmmTMB: the same marginal models written as G-side terms ------------------------
# dispformula = ~ 0 fixes the residual variance at a negligible value, so that the us,
# toep, cs and ar1 terms carry the whole within-subject covariance, as the R-side
# structures do in gls. REML = TRUE integrates the fixed effects out (Laplace, exact
# for a Gaussian response).
tmb_case <- function(id, data, call, timed = FALSE) {
  if (!wanted(id)) return(invisible())
  cat(id, "\n")
  d <- frames[[data]]
  t0 <- proc.time()[["elapsed"]]
  run <- with_conditions(function() eval(parse(text = call)),
                         on_error = function(e) structure(conditionMessage(e), class = "failed"))
  seconds <- proc.time()[["elapsed"]] - t0
  fit <- run$value
  rec <- list(data = files[[data]], call = call, peer = "glmmTMB",
              method = if (grepl("REML = TRUE", call)) "REML" else "ML",
              warnings = run$warnings, messages = run$messages)
  if (timed) rec$seconds <- seconds
  if (inherits(fit, "failed")) {
    rec$status <- "failed"
    rec$error <- as.character(fit)
    res[[id]] <<- rec
    return(invisible())
  }
  message <- if (is.null(fit$fit$message)) "" else fit$fit$message
  false_conv <- grepl("false convergence", message) ||
    any(grepl("false convergence|non-positive-definite|NA/NaN", run$warnings))
  rec$status <- if (false_conv) "false_convergence" else if (length(run$warnings)) "warnings" else "fitted"
  rec$convergence <- list(code = fit$fit$convergence, message = fit$fit$message,
                          iterations = fit$fit$iterations, pdHess = fit$sdr$pdHess,
                          max_abs_gradient = max(abs(fit$sdr$gradient.fixed)))
  ll <- logLik(fit)
  rec$logLik <- as.numeric(ll)
  rec$df <- attr(ll, "df")
  rec$AIC <- AIC(fit)
  rec$BIC <- BIC(fit)
  rec$sigma <- sigma(fit)
  beta <- fixef(fit)$cond
  vb <- vcov(fit)$cond
  rec$fixed <- list(names = chr(names(beta)), estimate = num(beta), se = num(sqrt(diag(vb))),
                    vcov = matrix_rows(vb))
  rec$theta <- num(fit$fit$par[names(fit$fit$par) == "theta"])
  vc <- VarCorr(fit)$cond
  rec$VarCorr <- lapply(seq_along(vc), function(k) {
    v <- vc[[k]]
    list(group = names(vc)[k], names = chr(rownames(v)), sd = num(attr(v, "stddev")),
         cor = matrix_rows(attr(v, "correlation")), cov = matrix_rows(v))
  })
  res[[id]] <<- rec
  fits[[id]] <<- fit
}

tmb200 <- "glmmTMB(y ~ arm * factor(visit) + base + %s(factor(visit) + 0 | id), Trial200, dispformula = ~ 0, REML = TRUE%s)"
# Under REML with the residual variance fixed at ~0, nlminb (glmmTMB's default) reports
# false convergence (8) on these fits; each is refitted with optim's BFGS, and the
# unstructured and Toeplitz fits are made by ML too (nlminb converges there).
for (term in c("us", "toep", "cs", "ar1")) {
  tmb_case(paste0("trial200_tmb_", term), "trial200", sprintf(tmb200, term, ""))
  tmb_case(paste0("trial200_tmb_", term, "_bfgs"), "trial200",
           sprintf(tmb200, term, ", control = glmmTMBControl(optimizer = optim, optArgs = list(method = \"BFGS\"))"))
}
for (term in c("us", "toep"))
  tmb_case(paste0("trial200_tmb_", term, "_ml"), "trial200", sub("REML = TRUE", "REML = FALSE", sprintf(tmb200, term, "")))
# ar1 runs over the levels of its factor: with all ten visits as levels, a subject's
# missing visits are latent values of the chain and the spacing of the kept ones holds.
tmb_case("ar1_4000_tmb", "ar1_4000",
         "glmmTMB(y ~ x + (1 | id) + ar1(factor(visit, levels = 1:10) + 0 | id), Ar1_4000, dispformula = ~ 0, REML = TRUE)",
         timed = TRUE)

# ---- crossed random effects beside a residual structure ------------------------------
# nlme fits crossed random effects as blocks of one group holding every row (Pinheiro
# & Bates 2000, sec. 4.2.2): pdIdent over each factor's indicators; the AR1 runs within
# a patient of that group.
crossed_case <- function(id, call) {
  if (!wanted(id)) return(invisible())
  cat(id, "\n")
  d <- Crossed_ar1
  d$grp <- factor(1)
  fit <- eval(parse(text = call))
  v <- vcov(fit)
  vc <- VarCorr(fit)
  first <- which(d$patient == levels(d$patient)[1])
  # sigma^2 (Z G Z' + R) of the first patient's rows: the rows share a site's or a
  # rater's random effect where they share its level.
  variance <- function(f) if (any(grepl(paste0("^", f), rownames(vc))))
    as.numeric(vc[grep(paste0("^", f), rownames(vc))[1], "Variance"]) else 0
  s2 <- c(site = variance("site"), rater = variance("rater"))
  r <- corMatrix(fit$modelStruct$corStruct)[[paste0("1/", levels(d$patient)[1])]] * fit$sigma^2
  same <- function(f) outer(as.character(d[[f]][first]), as.character(d[[f]][first]), "==")
  marginal <- s2[["site"]] * same("site") + s2[["rater"]] * same("rater") + r
  res[[id]] <<- list(data = files$crossed_ar1, call = call, peer = "nlme", method = fit$method,
                     logLik = as.numeric(logLik(fit)), AIC = AIC(fit), BIC = BIC(fit), sigma = fit$sigma,
                     fixed = list(names = chr(names(fixef(fit))), estimate = num(fixef(fit)),
                                  se = num(sqrt(diag(v)))),
                     corStruct = struct_coef(fit$modelStruct$corStruct),
                     sd = list(site = sqrt(s2[["site"]]), rater = sqrt(s2[["rater"]])),
                     first_patient = list(id = levels(d$patient)[1], cov = matrix_rows(marginal)),
                     fitted = num(fitted(fit)[1:30]),
                     intervals = interval_block(fit)[c("corStruct", "sigma")])
}
crossed_call <- paste0("lme(y ~ x + visit, d, random = list(grp = pdBlocked(list(pdIdent(~ site - 1), ",
                       "pdIdent(~ rater - 1)))), correlation = corAR1(form = ~ visit | grp/patient)%s)")
crossed_case("crossed_ar1", sprintf(crossed_call, ""))
crossed_case("crossed_ar1_ml", sprintf(crossed_call, ", method = \"ML\""))
# One factor that does not nest the patients (a patient meets several raters).
crossed_case("crossed_ar1_rater",
             paste0("lme(y ~ x + visit, d, random = list(grp = pdIdent(~ rater - 1)), ",
                    "correlation = corAR1(form = ~ visit | grp/patient))"))

# ---- lmerTest -------------------------------------------------------------------------
# Satterthwaite's degrees of freedom of random-intercept models (lmer with lmerTest):
# with a positive correlation, their marginal covariance is compound symmetry, so they
# are the models gls fits with corCompSymm, written with other variance parameters,
# and the degrees of freedom do not depend on how the variance parameters are written.
suppressPackageStartupMessages(library(lmerTest))
lmertest_case <- function(id, data, formula, reml = TRUE) {
  if (!wanted(id)) return(invisible())
  cat(id, "\n")
  fit <- lmer(as.formula(formula), frames[[data]], REML = reml)
  ct <- coef(summary(fit, ddf = "Satterthwaite"))
  av <- anova(fit, type = 3, ddf = "Satterthwaite")
  res[[id]] <<- list(kind = "lmertest", data = files[[data]], peer = "lmerTest",
                     call = sprintf("lmer(%s, REML = %s)", formula, reml), logLik = as.numeric(logLik(fit)),
                     fixed = list(names = chr(rownames(ct)), estimate = num(ct[, "Estimate"]),
                                  se = num(ct[, "Std. Error"]), df = num(ct[, "df"]),
                                  p = num(ct[, "Pr(>|t|)"])),
                     anova = list(terms = chr(rownames(av)), NumDF = num(av$NumDF), DenDF = num(av$DenDF),
                                  F = num(av[["F value"]]), p = num(av[["Pr(>F)"]])))
}
lmertest_case("orthodont_lmertest_ri", "orthodont", "distance ~ age * Sex + (1 | Subject)")
lmertest_case("trial200_lmertest_ri", "trial200", "y ~ arm * factor(visit) + base + (1 | id)")
lmertest_case("trial200_lmertest_ri_ml", "trial200", "y ~ arm * factor(visit) + base + (1 | id)", reml = FALSE)
res$`_versions_lmerTest` <- list(lmerTest = as.character(packageVersion("lmerTest")),
                                 lme4 = as.character(packageVersion("lme4")))

# ---- output ---------------------------------------------------------------------------
res$`_versions` <- list(R = R.version.string, nlme = as.character(packageVersion("nlme")),
                        glmmTMB = as.character(packageVersion("glmmTMB")),
                        TMB = as.character(packageVersion("TMB")),
                        Matrix = as.character(packageVersion("Matrix")))
res$`_data` <- lapply(names(frames), function(name) {
  d <- frames[[name]]
  list(file = files[[name]], rows = nrow(d), labels = chr(labels[[name]]),
       levels = lapply(Filter(is.factor, d), function(f) chr(levels(f))))
})
names(res$`_data`) <- names(frames)
# With cases named on the command line, they replace their entries in the existing file.
path <- file.path(out, "structures.json")
if (length(only) > 0 && file.exists(path)) {
  old <- fromJSON(path, simplifyVector = FALSE)
  old[names(res)] <- NULL
  res <- c(old[setdiff(names(old), c("_versions", "_data"))], res)
}
writeLines(toJSON(doubles_17(res), auto_unbox = TRUE, json_verbatim = TRUE, pretty = TRUE, null = "null",
                  na = "null"),
           path)
