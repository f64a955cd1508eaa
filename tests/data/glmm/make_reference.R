# lme4's glmer numbers for generalized linear mixed models (binomial and Poisson), by
# Laplace's approximation (nAGQ = 1), with beta inside PIRLS (nAGQ = 0) and by adaptive
# Gauss-Hermite quadrature (nAGQ > 1), on real data from R's packages and on seeded
# simulations.
#
#   Rscript tests/data/glmm/make_reference.R              (from the repository's root)
#   Rscript tests/data/glmm/make_reference.R cbpp speed   (only the named pieces)
#
# Writes each data set to tests/data/glmm/NAME.csv and its references to NAME.json;
# what glmer does on bad input goes to bad_input.json, glmer's timings for the
# benchmarks to speed.json. README.md beside this script describes the files.
suppressPackageStartupMessages({
  library(lme4)
  library(jsonlite)
})
source(file.path("tests", "data", "reference_helpers.R"))
out <- file.path("tests", "data", "glmm")

# A refit taken to the optimum: PIRLS to a relative change of 1e-12 in the penalised
# deviance (glmer's default 1e-7 leaves the Laplace deviance up to ~3e-3 off at a
# point) and the optimiser to 1e-15 in the criterion.
tight <- glmerControl(optimizer = "nloptwrap", tolPwrss = 1e-12,
                      optCtrl = list(ftol_abs = 1e-15, xtol_abs = 1e-12, ftol_rel = 1e-15,
                                     xtol_rel = 1e-12, maxeval = 1e5))
tight_pirls <- glmerControl(tolPwrss = 1e-12)


write_json_file <- function(x, name)
  writeLines(toJSON(doubles_17(x), auto_unbox = TRUE, json_verbatim = TRUE, pretty = TRUE, null = "null",
                    na = "null"),
             file.path(out, name))

write_data <- function(d, name) {
  file <- paste0(name, ".csv")
  write.csv(d, file.path(out, file), row.names = FALSE, na = "")
  file
}

# Every factor's levels in R's order (a factor's first level is the failure of a
# binomial response, the reference level of a fixed effect).
factor_levels <- function(d) lapply(Filter(is.factor, d), function(f) chr(levels(f)))

# The data exactly as a reader of the shipped CSV sees it: the factors rebuilt with R's
# level order, everything else numeric; an empty field is missing.
read_data <- function(file, levels) {
  d <- read.csv(file.path(out, file), colClasses = "character", na.strings = "")
  for (col in names(d))
    d[[col]] <- if (col %in% names(levels)) factor(d[[col]], levels = levels[[col]]) else as.numeric(d[[col]])
  d
}

family_of <- function(m)
  switch(m$family, binomial = binomial(link = m$link), poisson = poisson(link = m$link))

# glmer on the data with the model's family, nAGQ, prior weights (a column) and control.
call_glmer <- function(d, m, ...) {
  d$.w <- if (is.null(m$weights)) rep(1, nrow(d)) else d[[m$weights]]
  if (is.null(m$weights))
    glmer(as.formula(m$formula), d, family = family_of(m), nAGQ = m$nagq, ...)
  else glmer(as.formula(m$formula), d, family = family_of(m), nAGQ = m$nagq, weights = .w, ...)
}

# Optimiser evaluations per stage of one glmer call: stage 1 is the nAGQ = 0 fit over
# theta, stage 2 the fit over (theta, beta); fit@optinfo$feval holds only the last.
feval_counter <- new.env()
fevals_by_stage <- function(d, m) {
  feval_counter$counts <- integer(0)
  suppressMessages(trace("optimizeGlmer", where = asNamespace("lme4"), print = FALSE,
        exit = quote(assign("counts", c(feval_counter$counts, opt$feval), envir = feval_counter))))
  on.exit(suppressMessages(untrace("optimizeGlmer", where = asNamespace("lme4"))))
  suppressWarnings(suppressMessages(call_glmer(d, m)))
  feval_counter$counts
}

ranef_block <- function(fit) {
  re <- ranef(fit, condVar = TRUE)
  lapply(re, function(r) {
    pv <- attr(r, "postVar")
    to_levels <- function(a) lapply(seq_len(dim(a)[3]), function(k) matrix(a[, , k], dim(a)[1], dim(a)[2]))
    list(levels = chr(rownames(r)), columns = chr(names(r)), values = lapply(as.list(r), num),
         # one block per term on the factor (lme4 gives a list when there are several)
         cond_var = if (is.list(pv)) lapply(pv, to_levels) else list(to_levels(pv)))
  })
}

varcorr_block <- function(fit) {
  vc <- as.data.frame(VarCorr(fit))
  list(grp = chr(vc$grp), var1 = I(vc$var1), var2 = I(vc$var2), vcov = num(vc$vcov), sdcor = num(vc$sdcor))
}

coef_block <- function(fit) {
  ct <- coef(summary(fit))
  list(names = chr(rownames(ct)), estimate = num(ct[, 1]), se = num(ct[, 2]), z = num(ct[, 3]),
       p = num(ct[, 4]))
}

# -2 log p(y | mu = y) summed over the rows: the binomial-coefficient / factorial part of
# the conditional deviance that glmer's quadrature criterion leaves out.
saturated_m2ll <- function(fit) {
  y <- getME(fit, "y")
  w <- weights(fit, type = "prior")
  if (family(fit)$family == "poisson") -2 * sum(w * dpois(y, y, log = TRUE))
  else -2 * sum(dbinom(round(w * y), round(w), y, log = TRUE))
}

# The points at which criteria are compared: glmer's fit, and theta halved with 0.25
# added to the diagonal entries, beta moved by half its standard error (theta alone
# for nAGQ = 0).
fixed_points <- function(fit, nagq) {
  theta <- getME(fit, "theta")
  moved_theta <- theta * 0.5 + 0.25 * (getME(fit, "lower") == 0)
  if (nagq == 0) return(list(at_fit = theta, moved = moved_theta))
  beta <- fixef(fit)
  se <- suppressWarnings(sqrt(diag(as.matrix(vcov(fit)))))
  list(at_fit = c(theta, beta), moved = c(moved_theta, beta + 0.5 * se))
}

# glmer's deviance function at the fit and at a moved point, under glmer's PIRLS
# tolerance (`value`) and under 1e-12 (`value_tight`); for the Laplace criterion also
# its pieces: log|L|^2, ||u||^2 and the conditional deviance -2 log p(y | u) with all
# constants (the family's aic()).
devfun_points <- function(d, m, fit) {
  pts <- fixed_points(fit, m$nagq)
  df <- call_glmer(d, m, devFunOnly = TRUE)
  dft <- call_glmer(d, m, devFunOnly = TRUE, control = tight_pirls)
  res <- lapply(pts, function(p) {
    v <- tryCatch(df(p), error = function(e) NA_real_)
    vt <- tryCatch(dft(p), error = function(e) NA_real_)
    env <- environment(dft)
    r <- list(pars = num(p), value = v, value_tight = vt)
    if (m$nagq <= 1)
      r <- c(r, list(ldL2 = env$pp$ldL2(), sqrL = env$pp$sqrL(1), cond_m2ll = env$resp$aic(),
                     cond_deviance = sum(env$resp$devResid())))
    if (m$nagq == 0) r$beta <- num(env$pp$beta(1))
    r
  })
  res$saturated_m2ll <- saturated_m2ll(fit)
  res
}

# The full -2 log-likelihood of a model with one grouping factor (one term of q
# columns) at (theta, beta), independently of lme4's PIRLS: per group, the mode of
# log p(y | u) + log phi(u) by Fisher scoring, then an adaptive product Gauss-Hermite
# rule of k points per dimension (k^q nodes) centred at the mode and scaled by the
# Cholesky factor of the inverse Fisher information there (Pinheiro & Bates 1995,
# "Approximations to the log-likelihood function in the nonlinear mixed-effects model",
# J. Comput. Graph. Stat. 4(1)). k = 1 is Laplace's approximation.
quadrature_m2ll <- function(fit, theta, beta, k) {
  fam <- family(fit)
  Zt <- getME(fit, "Zt")
  f <- getME(fit, "flist")[[1]]
  q <- length(getME(fit, "cnms")[[1]])
  y <- getME(fit, "y")
  w <- weights(fit, type = "prior")
  lam <- matrix(0, q, q)
  lam[lower.tri(lam, diag = TRUE)] <- theta
  eta0 <- drop(getME(fit, "X") %*% beta) + getME(fit, "offset")
  cond_ll <- function(eta, i) {
    mu <- fam$linkinv(eta)
    if (fam$family == "poisson") sum(w[i] * dpois(y[i], mu, log = TRUE))
    else sum(dbinom(round(w[i] * y[i]), round(w[i]), mu, log = TRUE))
  }
  # score of log p(y | u) + log phi(u) and its Fisher information, at u
  score_info <- function(A, i, u) {
    eta <- eta0[i] + drop(A %*% u)
    mu <- fam$linkinv(eta)
    me <- fam$mu.eta(eta)
    v <- fam$variance(mu)
    list(score = drop(crossprod(A, w[i] * (y[i] - mu) * me / v)) - u,
         info = crossprod(A, A * (w[i] * me^2 / v)) + diag(q))
  }
  gh <- GHrule(k)
  nodes <- as.matrix(expand.grid(rep(list(gh[, "z"]), q)))
  log_w <- rowSums(as.matrix(expand.grid(rep(list(log(gh[, "w"]) - dnorm(gh[, "z"], log = TRUE)), q))))
  total <- 0
  for (j in seq_len(nlevels(f))) {
    i <- which(as.integer(f) == j)
    A <- t(as.matrix(Zt[(j - 1) * q + seq_len(q), i, drop = FALSE])) %*% lam
    u <- rep(0, q)
    for (it in 1:200) {
      si <- score_info(A, i, u)
      step <- drop(solve(si$info, si$score))
      u <- u + step
      if (max(abs(step)) < 1e-13) break
    }
    L <- t(chol(solve(score_info(A, i, u)$info)))
    lg <- log_w + vapply(seq_len(nrow(nodes)), function(r) {
      uu <- u + drop(L %*% nodes[r, ])
      cond_ll(eta0[i] + drop(A %*% uu), i) + sum(dnorm(uu, log = TRUE))
    }, 0)
    top <- max(lg)
    total <- total + sum(log(diag(L))) + top + log(sum(exp(lg - top)))
  }
  -2 * total
}

# The full -2 log-likelihood by quadrature_m2ll at the fixed points, for k = 1 (Laplace),
# 5, 10, 20, 30 and the model's nAGQ.
quadrature_block <- function(fit, nagq) {
  ks <- sort(unique(c(1, 5, 10, 20, 30, nagq[nagq > 1])))
  q <- length(getME(fit, "theta"))
  lapply(fixed_points(fit, max(nagq, 1)), function(p) {
    m2ll <- vapply(ks, function(k) quadrature_m2ll(fit, p[seq_len(q)], p[-seq_len(q)], k), 0)
    list(pars = num(p), k = num(ks), m2ll = num(m2ll))
  })
}


first <- function(x, k = 20) num(head(x, k))

fit_model <- function(d, m, reps) {
  times <- numeric(0)
  for (r in seq_len(reps)) {
    times[r] <- system.time(run <- with_conditions(function() call_glmer(d, m)))[["elapsed"]]
  }
  fit <- run$value
  cnms <- getME(fit, "cnms")
  se <- with_conditions(function() sqrt(diag(as.matrix(vcov(fit)))))
  pearson <- residuals(fit, type = "pearson")
  groups <- unlist(strsplit(names(getME(fit, "flist")), ":"))
  groups <- setdiff(intersect(names(d), groups), all.vars(nobars(as.formula(m$formula))))
  nd <- new_rows(d, groups, m$new_in)
  res <- list(
    formula = m$formula, family = family(fit)$family, link = family(fit)$link, nagq = m$nagq,
    weights = m$weights, n = nobs(fit), ngrps = as.list(ngrps(fit)),
    cnms = lapply(seq_along(cnms), function(k) list(group = names(cnms)[k], columns = chr(cnms[[k]]))),
    theta = named(getME(fit, "theta")), lower = num(getME(fit, "lower")),
    beta = named(fixef(fit)), se = num(se$value), vcov_warnings = se$warnings,
    se_rx = num(sqrt(diag(suppressWarnings(vcov(fit, use.hessian = FALSE))))),
    coef = coef_block(fit),
    loglik = as.numeric(logLik(fit)), m2loglik = -2 * as.numeric(logLik(fit)),
    df = attr(logLik(fit), "df"), aic = AIC(fit), bic = BIC(fit), deviance = deviance(fit),
    df_resid = df.residual(fit), singular = isSingular(fit),
    overdispersion = list(pearson_chisq = sum(pearson^2), df_resid = df.residual(fit),
                          ratio = sum(pearson^2) / df.residual(fit)),
    optimizer = chr(fit@optinfo$optimizer), feval = fit@optinfo$feval,
    feval_by_stage = num(fevals_by_stage(d, m)),
    conv_messages = chr(unlist(fit@optinfo$conv$lme4$messages)),
    warnings = run$warnings, messages = run$messages,
    seconds = num(times), best_seconds = min(times),
    varcorr = varcorr_block(fit), ranef = ranef_block(fit),
    fitted_first20 = first(fitted(fit)),
    residuals_first20 = list(deviance = first(residuals(fit, type = "deviance")), pearson = first(pearson),
                             response = first(residuals(fit, type = "response"))),
    predict = list(
      newdata = lapply(as.list(nd), function(v) if (is.factor(v) || is.character(v)) chr(v) else num(v)),
      link = num(predict(fit, newdata = nd, type = "link", allow.new.levels = TRUE)),
      response = num(predict(fit, newdata = nd, type = "response", allow.new.levels = TRUE)),
      link_fixed_only = num(predict(fit, newdata = nd, type = "link", re.form = NA))),
    devfun = devfun_points(d, m, fit),
    summary_lines = chr(capture.output(print(summary(fit)))))
  if (isTRUE(m$quadrature)) res$quadrature <- quadrature_block(fit, m$nagq)
  res$tight <- tryCatch({
    t <- with_conditions(function() call_glmer(d, m, control = tight))
    tf <- t$value
    tse <- with_conditions(function() sqrt(diag(as.matrix(vcov(tf)))))
    list(theta = named(getME(tf, "theta")), beta = named(fixef(tf)), se = num(tse$value),
         vcov_warnings = tse$warnings,
         se_rx = num(sqrt(diag(suppressWarnings(vcov(tf, use.hessian = FALSE))))),
         loglik = as.numeric(logLik(tf)), m2loglik = -2 * as.numeric(logLik(tf)), feval = tf@optinfo$feval,
         conv_messages = chr(unlist(tf@optinfo$conv$lme4$messages)), warnings = t$warnings)
  }, error = function(e) list(error = conditionMessage(e)))
  res
}

meta <- function() list(lme4 = as.character(packageVersion("lme4")), R = R.version.string)

run_case <- function(name, d, models, reps = 3) {
  if (!wanted(name)) return(invisible(NULL))
  levels <- factor_levels(d)
  file <- write_data(d, name)
  rd <- read_data(file, levels)
  fits <- list()
  for (m in models) {
    message(name, ": ", m$id)
    fits[[m$id]] <- fit_model(rd, m, if (is.null(m$reps)) reps else m$reps)
  }
  write_json_file(list(data = file, rows = nrow(rd), factors = levels, models = fits, `_meta` = meta()),
                  paste0(name, ".json"))
}

model <- function(id, formula, family, nagq = 1, link = NULL, new_in, ...) {
  link <- if (is.null(link)) (if (family == "binomial") "logit" else "log") else link
  list(id = id, formula = formula, family = family, link = link, nagq = nagq, new_in = new_in, ...)
}

# ---- real data -----------------------------------------------------------------------
cbpp_d <- as.data.frame(lme4::cbpp)[, c("incidence", "size", "period", "herd")]
cbpp_f <- "cbind(incidence, size - incidence) ~ period + (1 | herd)"
run_case("cbpp", cbpp_d, list(
  model("cbpp_laplace", cbpp_f, "binomial", 1, new_in = "herd"),
  model("cbpp_nagq0", cbpp_f, "binomial", 0, new_in = "herd"),
  model("cbpp_nagq9", cbpp_f, "binomial", 9, new_in = "herd", quadrature = TRUE),
  model("cbpp_proportion_laplace", "incidence/size ~ period + (1 | herd)", "binomial", 1,
        weights = "size", new_in = "herd")))

gt <- as.data.frame(lme4::grouseticks)[, c("TICKS", "YEAR", "HEIGHT", "cHEIGHT", "INDEX", "BROOD",
                                           "LOCATION")]
run_case("grouseticks", gt, list(
  model("grouseticks_laplace", "TICKS ~ YEAR + HEIGHT + (1 | INDEX) + (1 | BROOD) + (1 | LOCATION)",
        "poisson", 1, new_in = "BROOD"),
  model("grouseticks_cheight_laplace", "TICKS ~ YEAR + cHEIGHT + (1 | INDEX) + (1 | BROOD) + (1 | LOCATION)",
        "poisson", 1, new_in = "BROOD")))

# YEAR as the number 95, 96 or 97 (as a CSV reader takes it): an uncentred covariate
# beside the intercept, the fixed-effects block's condition number some 1e4.
gty <- transform(gt, YEAR = as.numeric(as.character(YEAR)))
run_case("grouseticks_year", gty, list(
  model("grouseticks_year_laplace", "TICKS ~ YEAR + (1 | BROOD) + (1 | LOCATION)", "poisson", 1, new_in = "BROOD"),
  model("grouseticks_year_cheight_laplace", "TICKS ~ YEAR + cHEIGHT + (1 | BROOD) + (1 | LOCATION) + (1 | INDEX)",
        "poisson", 1, new_in = "BROOD")))

va <- as.data.frame(lme4::VerbAgg)[, c("r2", "Anger", "Gender", "btype", "situ", "id", "item")]
run_case("verbagg", va, reps = 1, list(
  model("verbagg_laplace", "r2 ~ Anger + Gender + btype + situ + (1 | id) + (1 | item)", "binomial", 1,
        new_in = "item")))

if (requireNamespace("mlmRev", quietly = TRUE)) {
  cn <- as.data.frame(mlmRev::Contraception)[, c("use", "age", "urban", "livch", "district")]
  cn_f <- "use ~ age + I(age^2) + urban + livch + (1 | district)"
  run_case("contraception", cn, list(
    model("contraception_laplace", cn_f, "binomial", 1, new_in = "district"),
    model("contraception_nagq5", cn_f, "binomial", 5, new_in = "district", quadrature = TRUE)))
}

# ---- seeded simulations --------------------------------------------------------------
# Each design has its own seed; covariates are rounded so that the CSV holds them
# exactly. Labels are zero-padded so that sorted labels are in design order.
lab <- function(prefix, k) sprintf(paste0(prefix, "%02d"), k)

# (a) Bernoulli, intercept and slope on one factor: 60 groups x 20 rows
set.seed(2501)
ba <- data.frame(g = factor(rep(lab("g", 1:60), each = 20)), x = round(runif(1200, -1, 1), 3))
u <- MASS::mvrnorm(60, c(0, 0), matrix(c(1, 0.3 * 1 * 0.6, 0.3 * 1 * 0.6, 0.36), 2))
gi <- as.integer(ba$g)
ba$y <- rbinom(1200, 1, plogis(-0.5 + u[gi, 1] + (1 + u[gi, 2]) * ba$x))
ba <- ba[, c("y", "x", "g")]
run_case("sim_bernoulli_vector", ba, list(
  model("bernoulli_vector_laplace", "y ~ x + (1 + x | g)", "binomial", 1, new_in = "g", quadrature = TRUE)))

# (b) Poisson counts with exposure, intercept and slope on one factor: 50 groups of 4 to
# 16 rows
set.seed(2502)
pb <- data.frame(g = factor(rep(lab("g", 1:50), sample(4:16, 50, replace = TRUE))))
pb$x <- round(rnorm(nrow(pb)), 3)
pb$exposure <- round(runif(nrow(pb), 0.5, 3), 2)
u <- MASS::mvrnorm(50, c(0, 0), matrix(c(0.5, -0.1, -0.1, 0.2), 2))
gi <- as.integer(pb$g)
pb$y <- rpois(nrow(pb), pb$exposure * exp(0.3 + u[gi, 1] + (0.4 + u[gi, 2]) * pb$x))
pb <- pb[, c("y", "x", "exposure", "g")]
run_case("sim_poisson_offset", pb, list(
  model("poisson_offset_laplace", "y ~ x + offset(log(exposure)) + (1 + x | g)", "poisson", 1, new_in = "g",
        quadrature = TRUE)))

# (c) binomial with 1 to 10 trials per row, 40 groups x 8 rows; one response drawn
# under the probit link, one under the complementary log-log link
set.seed(2503)
lk <- data.frame(g = factor(rep(lab("g", 1:40), each = 8)), x = round(rnorm(320), 3),
                 trials = sample(1:10, 320, replace = TRUE))
gi <- as.integer(lk$g)
u <- rnorm(40, sd = 0.6)
lk$s_probit <- rbinom(320, lk$trials, pnorm(-0.2 + 0.5 * lk$x + u[gi]))
u <- rnorm(40, sd = 0.8)
lk$s_cloglog <- rbinom(320, lk$trials, 1 - exp(-exp(-0.7 + 0.4 * lk$x + u[gi])))
lk <- lk[, c("s_probit", "s_cloglog", "trials", "x", "g")]
run_case("sim_binomial_links", lk, list(
  model("probit_laplace", "cbind(s_probit, trials - s_probit) ~ x + (1 | g)", "binomial", 1,
        link = "probit", new_in = "g"),
  model("probit_nagq7", "cbind(s_probit, trials - s_probit) ~ x + (1 | g)", "binomial", 7,
        link = "probit", new_in = "g", quadrature = TRUE),
  model("cloglog_laplace", "cbind(s_cloglog, trials - s_cloglog) ~ x + (1 | g)", "binomial", 1,
        link = "cloglog", new_in = "g"),
  model("cloglog_nagq7", "cbind(s_cloglog, trials - s_cloglog) ~ x + (1 | g)", "binomial", 7,
        link = "cloglog", new_in = "g", quadrature = TRUE)))

# (d) Bernoulli with almost no variance between groups (sd 0.05 in the simulation):
# 30 groups x 10 rows; under this seed glmer puts theta within 1e-7 of zero (singular)
set.seed(2506)
sg <- data.frame(g = factor(rep(lab("g", 1:30), each = 10)), x = round(rnorm(300), 3))
sg$y <- rbinom(300, 1, plogis(0.2 + 0.8 * sg$x + rnorm(30, sd = 0.05)[as.integer(sg$g)]))
sg <- sg[, c("y", "x", "g")]
run_case("sim_bernoulli_singular", sg, list(
  model("bernoulli_singular_laplace", "y ~ x + (1 | g)", "binomial", 1, new_in = "g"),
  model("bernoulli_singular_nagq7", "y ~ x + (1 | g)", "binomial", 7, new_in = "g")))

# ---- bad input: what glmer does (the fit, or its error) under its defaults ----------
# bad_input.csv: 8 groups x 6 rows with responses that break one rule each: `count_neg`
# has one negative count, `count_frac` one count of 2.5, `succ` exceeds `trials` in one
# row, `trials_zero` is `trials` with one zero, `y3` is a factor of three levels, `prop`
# are proportions whose `w_frac` weights give non-integer successes, `y01_two` has a 2,
# `y_sep` is 1 exactly where `x_sep` is positive (perfect separation).
bad_case <- function(d, formula, family, weights = NULL) {
  res <- tryCatch({
    m <- list(formula = formula, family = family, link = if (family == "binomial") "logit" else "log",
              nagq = 1, weights = weights)
    run <- with_conditions(function() {
      fit <- call_glmer(d, m)
      list(fit = fit, se = sqrt(diag(as.matrix(vcov(fit)))))
    })
    fit <- run$value$fit
    list(outcome = "fit", n = nobs(fit), theta = named(getME(fit, "theta")), beta = named(fixef(fit)),
         se = num(run$value$se), loglik = as.numeric(logLik(fit)), feval = fit@optinfo$feval,
         conv_messages = chr(unlist(fit@optinfo$conv$lme4$messages)), singular = isSingular(fit),
         warnings = run$warnings, messages = run$messages)
  }, error = function(e) list(outcome = "error", error = conditionMessage(e)))
  c(list(formula = formula, family = family, weights = weights), res)
}
if (wanted("bad_input")) {
  set.seed(2505)
  bd <- data.frame(g = factor(rep(lab("g", 1:8), each = 6)), x = round(rnorm(48), 3))
  gi <- as.integer(bd$g)
  u <- rnorm(8, sd = 0.7)
  bd$trials <- sample(2:8, 48, replace = TRUE)
  bd$succ <- rbinom(48, bd$trials, plogis(u[gi] + 0.5 * bd$x))
  bd$succ[5] <- bd$trials[5] + 2
  bd$trials_zero <- bd$trials
  bd$trials_zero[7] <- 0
  bd$succ_zero <- pmin(rbinom(48, bd$trials, plogis(u[gi] + 0.5 * bd$x)), bd$trials_zero)
  bd$count_neg <- rpois(48, exp(1 + u[gi] + 0.3 * bd$x))
  bd$count_neg[3] <- -1
  bd$count_frac <- abs(bd$count_neg)
  bd$count_frac[4] <- 2.5
  bd$y3 <- factor(sample(c("a", "b", "c"), 48, replace = TRUE))
  bd$prop <- round(runif(48), 2)
  bd$w_frac <- round(runif(48, 1, 5), 1)
  bd$y01_two <- rbinom(48, 1, 0.5)
  bd$y01_two[6] <- 2
  bd$x_sep <- round(rnorm(48), 3)
  bd$y_sep <- as.integer(bd$x_sep > 0)
  # Counts of x alone, without group effects, on two crossed factors: glmer puts both
  # variances at 0.
  bd$h <- factor(rep(lab("h", 1:4), 12))
  bd$count_null <- round(exp(0.5 + 0.3 * bd$x))
  levels <- factor_levels(bd)
  file <- write_data(bd, "bad_input")
  rd <- read_data(file, levels)
  cases <- list(
    negative_count = list("count_neg ~ x + (1 | g)", "poisson"),
    non_integer_count = list("count_frac ~ x + (1 | g)", "poisson"),
    successes_above_trials = list("cbind(succ, trials - succ) ~ x + (1 | g)", "binomial"),
    zero_trials = list("cbind(succ_zero, trials_zero - succ_zero) ~ x + (1 | g)", "binomial"),
    zero_trials_proportion = list("succ_zero/trials_zero ~ x + (1 | g)", "binomial", "trials_zero"),
    three_level_factor = list("y3 ~ x + (1 | g)", "binomial"),
    non_integer_successes = list("prop ~ x + (1 | g)", "binomial", "w_frac"),
    response_above_one = list("y01_two ~ x + (1 | g)", "binomial"),
    perfect_separation = list("y_sep ~ x_sep + (1 | g)", "binomial"),
    crossed_no_group_effects = list("count_null ~ x + (1 | g) + (1 | h)", "poisson"))
  res <- lapply(cases, function(k) bad_case(rd, k[[1]], k[[2]], if (length(k) > 2) k[[3]]))
  write_json_file(c(list(data = file, rows = nrow(rd), factors = levels), res, list(`_meta` = meta())),
                  "bad_input.json")
}

# ---- glmer's times for the benchmarks: the whole glmer call from a data frame ---------
speed_case <- function(d, m, reps) {
  times <- vapply(seq_len(reps), function(r)
    system.time(fit <<- suppressWarnings(suppressMessages(call_glmer(d, m))))[["elapsed"]], 0)
  list(formula = m$formula, family = m$family, nagq = m$nagq, rows = nrow(d), seconds = num(times),
       best_seconds = min(times), feval = fit@optinfo$feval, feval_by_stage = num(fevals_by_stage(d, m)),
       m2loglik = -2 * as.numeric(logLik(fit)))
}
if (wanted("speed")) {
  write_json_file(list(
    cbpp_laplace = speed_case(cbpp_d, model("cbpp_laplace", cbpp_f, "binomial", 1, new_in = "herd"), 3),
    verbagg_laplace = speed_case(va, model("verbagg_laplace",
      "r2 ~ Anger + Gender + btype + situ + (1 | id) + (1 | item)", "binomial", 1, new_in = "item"), 1),
    cores = parallel::detectCores(), `_meta` = meta()), "speed.json")
}

# ---- profile-likelihood intervals: confint(fit, method = "profile") -------------------
# On the fits of glmer's defaults (the vector-valued model's tight refit: its default
# fit is far enough from the optimum for the profile to stop at a lower deviance), from
# the CSV files the pieces above write; lme4 interpolates its profile by splines, so its
# end points are good to about 1e-5.
profile_case <- function(file, levels, m, ...) {
  rd <- read_data(file, levels)
  fit <- suppressWarnings(suppressMessages(call_glmer(rd, m, ...)))
  ci <- tryCatch(suppressWarnings(suppressMessages(confint(fit, method = "profile", oldNames = FALSE))),
                 error = function(e) conditionMessage(e))
  if (is.character(ci)) return(list(formula = m$formula, family = m$family, error = ci))
  list(formula = m$formula, family = m$family, names = chr(rownames(ci)), lower = num(ci[, 1]),
       upper = num(ci[, 2]))
}
if (wanted("profile")) {
  write_json_file(list(
    cbpp_laplace = profile_case("cbpp.csv", factor_levels(cbpp_d),
                                model("cbpp_laplace", cbpp_f, "binomial", 1, new_in = "herd")),
    bernoulli_vector_laplace = profile_case("sim_bernoulli_vector.csv", factor_levels(ba),
      model("bernoulli_vector_laplace", "y ~ x + (1 + x | g)", "binomial", 1, new_in = "g"), control = tight),
    grouseticks_cheight_laplace = profile_case("grouseticks.csv", factor_levels(gt),
      model("grouseticks_cheight_laplace", "TICKS ~ YEAR + cHEIGHT + (1 | INDEX) + (1 | BROOD) + (1 | LOCATION)",
            "poisson", 1, new_in = "LOCATION")),
    `_meta` = meta()), "profile.json")
}
