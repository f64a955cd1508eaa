# lme4's and lmerTest's numbers for models with random-effects terms on several grouping
# factors (crossed, nested, partially crossed), on real data from R's packages and on
# seeded simulations.
#
#   Rscript tests/data/crossed/make_reference.R            (from the repository's root)
#   Rscript tests/data/crossed/make_reference.R penicillin  (only the named data sets)
#
# Writes each data set to tests/data/crossed/NAME.csv (insteval.csv.gz) and its
# references to NAME.json; what lme4 does on bad input goes to bad_input.json. The
# layout of the files is described in README.md beside this script.
suppressPackageStartupMessages({
  library(lme4)
  library(lmerTest)
  library(nlme)
  library(jsonlite)
})
source(file.path("tests", "data", "reference_helpers.R"))
out <- file.path("tests", "data", "crossed")

# lme4's default stopping rule leaves theta up to about 1e-4 from the optimum; the
# references are taken to the optimum so that fits compare to 1e-5 and below. lme4's
# own fit under its defaults is kept beside them (evaluations, criterion, warnings).
tight <- lmerControl(optimizer = "nloptwrap", calc.derivs = FALSE,
                     optCtrl = list(ftol_abs = 1e-15, xtol_abs = 1e-12, ftol_rel = 1e-15,
                                    xtol_rel = 1e-12, maxeval = 1e5))

write_data <- function(d, name, gz = FALSE) {
  file <- paste0(name, if (gz) ".csv.gz" else ".csv")
  con <- if (gz) gzfile(file.path(out, file), "w") else file.path(out, file)
  write.csv(d, con, row.names = FALSE, na = "")
  if (gz) close(con)
  file
}

# The data exactly as a reader of the shipped CSV sees it: label columns as factors
# whose levels are the sorted labels, everything else numeric; an empty field is missing.
read_data <- function(file, labels) {
  d <- read.csv(file.path(out, file), colClasses = "character", na.strings = "")
  for (col in names(d)) d[[col]] <- if (col %in% labels) factor(d[[col]]) else as.numeric(d[[col]])
  d
}

ranef_block <- function(fit, condvar) {
  re <- ranef(fit, condVar = condvar)
  lapply(re, function(r) {
    b <- list(levels = chr(rownames(r)), columns = chr(names(r)),
              values = lapply(as.list(r), num))
    if (condvar) {
      pv <- attr(r, "postVar")
      to_levels <- function(a) lapply(seq_len(dim(a)[3]), function(k) matrix(a[, , k], dim(a)[1], dim(a)[2]))
      # one block per term on the factor (lme4 gives a list when there are several)
      b$cond_var <- if (is.list(pv)) lapply(pv, to_levels) else list(to_levels(pv))
    }
    b
  })
}

varcorr_block <- function(fit) {
  vc <- as.data.frame(VarCorr(fit))
  list(grp = chr(vc$grp), var1 = I(vc$var1), var2 = I(vc$var2), vcov = num(vc$vcov), sdcor = num(vc$sdcor))
}

# lme4's deviance function and the pieces of the profiled criterion at a point:
# log|L|^2, log|R_X|^2, the penalised weighted residual sum of squares and beta.
devfun_points <- function(devfun, theta, lower) {
  diag <- lower == 0
  pts <- list(at_fit = theta, half = theta * 0.5, diag_plus_0.3 = theta + 0.3 * diag)
  lapply(pts, function(th) {
    crit <- devfun(th)
    env <- environment(devfun)
    list(theta = num(th), criterion = crit, ldL2 = env$pp$ldL2(), ldRX2 = env$pp$ldRX2(),
         pwrss = env$resp$wrss() + env$pp$sqrL(1), beta = num(env$pp$beta(1)))
  })
}

# Wall time of one evaluation of lme4's deviance function at theta (mean of k).
devfun_seconds <- function(devfun, theta, k) {
  system.time(for (r in seq_len(k)) devfun(theta))[["elapsed"]] / k
}

satterthwaite_block <- function(fit) {
  ct <- coef(summary(fit))
  a <- anova(fit, type = 3)
  list(coef = list(names = chr(rownames(ct)), estimate = num(ct[, "Estimate"]),
                   se = num(ct[, "Std. Error"]), df = num(ct[, "df"]),
                   t = num(ct[, "t value"]), p = num(ct[, "Pr(>|t|)"])),
       anova = list(terms = chr(rownames(a)), sum_sq = num(a[, "Sum Sq"]), mean_sq = num(a[, "Mean Sq"]),
                    num_df = num(a[, "NumDF"]), den_df = num(a[, "DenDF"]),
                    f = num(a[, "F value"]), p = num(a[, "Pr(>F)"])))
}


fit_model <- function(d, m, condvar, reps) {
  frm <- as.formula(m$formula)
  d$.w <- if (is.null(m$weights)) rep(1, nrow(d)) else d[[m$weights]]
  has_w <- !is.null(m$weights)
  default_fit <- function()
    if (has_w) lme4::lmer(frm, d, REML = m$reml, weights = .w) else lme4::lmer(frm, d, REML = m$reml)
  warnings <- character(0)
  times <- numeric(0)
  for (r in seq_len(reps)) {
    warnings <- character(0)
    times[r] <- system.time(def <- withCallingHandlers(default_fit(), warning = function(w) {
      warnings <<- c(warnings, conditionMessage(w))
      invokeRestart("muffleWarning")
    }))[["elapsed"]]
  }
  fit <- if (has_w) lmerTest::lmer(frm, d, REML = m$reml, weights = .w, control = tight) else
    lmerTest::lmer(frm, d, REML = m$reml, control = tight)
  devfun <- update(fit, devFunOnly = TRUE)
  theta <- getME(fit, "theta")
  cnms <- getME(fit, "cnms")
  s <- summary(fit, ddf = "lme4")
  res <- list(
    formula = m$formula, reml = m$reml, weights = m$weights, n = nobs(fit),
    ngrps = as.list(ngrps(fit)),
    cnms = lapply(seq_along(cnms), function(k) list(group = names(cnms)[k], columns = chr(cnms[[k]]))),
    theta = named(theta), lower = num(getME(fit, "lower")),
    beta = named(fixef(fit)), se = num(coef(s)[, "Std. Error"]),
    sigma = sigma(fit), loglik = as.numeric(logLik(fit)),
    criterion = if (m$reml) REMLcrit(fit) else deviance(fit),
    df = attr(logLik(fit), "df"), aic = AIC(fit), bic = BIC(fit),
    singular = isSingular(fit),
    varcorr = varcorr_block(fit),
    ranef = ranef_block(fit, condvar),
    devfun = devfun_points(devfun, theta, getME(fit, "lower")),
    devfun_seconds = devfun_seconds(devfun, theta, if (nrow(d) > 10000) 5 else 200),
    lme4_default = list(
      theta = named(getME(def, "theta")), beta = named(fixef(def)),
      criterion = if (m$reml) REMLcrit(def) else deviance(def), sigma = sigma(def),
      feval = def@optinfo$feval, optimizer = def@optinfo$optimizer,
      conv_messages = chr(unlist(def@optinfo$conv$lme4$messages)),
      warnings = chr(unique(warnings)),
      summary_lines = chr(capture.output(print(summary(def)))),
      seconds = num(times), median_seconds = median(times)))
  res$satterthwaite <- tryCatch(satterthwaite_block(fit),
                                error = function(e) list(error = conditionMessage(e)))
  if (!is.null(m$L)) {
    joint <- contest(fit, m$L, joint = TRUE)
    single <- contest(fit, m$L, joint = FALSE)
    res$contrast <- list(
      L = m$L, f = joint[["F value"]], num_df = joint[["NumDF"]], den_df = joint[["DenDF"]],
      p = joint[["Pr(>F)"]],
      rows = list(estimate = num(single[["Estimate"]]), se = num(single[["Std. Error"]]),
                  df = num(single[["df"]]), t = num(single[["t value"]]), p = num(single[["Pr(>|t|)"]])))
  }
  if (isTRUE(m$profile)) {
    ci <- suppressWarnings(confint(fit, method = "profile", level = 0.95, oldNames = FALSE))
    res$profile <- list(parm = chr(rownames(ci)), lower = num(ci[, 1]), upper = num(ci[, 2]))
  }
  if (!is.null(m$new_in)) {
    nd <- new_rows(d, m$groups, m$new_in)
    res$predict <- list(
      newdata = lapply(as.list(nd[, setdiff(names(nd), ".w"), drop = FALSE]),
                       function(v) if (is.factor(v) || is.character(v)) chr(v) else num(v)),
      with_ranef = num(predict(fit, newdata = nd, allow.new.levels = TRUE)),
      fixed_only = num(predict(fit, newdata = nd, re.form = NA)))
  }
  res
}

meta <- function() list(lme4 = as.character(packageVersion("lme4")),
                        lmerTest = as.character(packageVersion("lmerTest")),
                        R = R.version.string)

run_case <- function(name, d, labels, models, gz = FALSE, condvar = TRUE, reps = 5) {
  if (!wanted(name)) return(invisible(NULL))
  file <- write_data(d, name, gz)
  rd <- read_data(file, labels)
  fits <- list()
  for (m in models) {
    message(name, ": ", m$id)
    frm <- as.formula(m$formula)
    m$groups <- setdiff(intersect(labels, unlist(lapply(lme4::findbars(frm), all.vars))),
                        all.vars(lme4::nobars(frm)))
    fits[[m$id]] <- fit_model(rd, m, condvar, if (is.null(m$reps)) reps else m$reps)
  }
  res <- list(data = file, labels = chr(labels), models = fits, `_meta` = meta())
  writeLines(toJSON(res, auto_unbox = TRUE, digits = NA, pretty = TRUE, null = "null", na = "null"),
             file.path(out, paste0(name, ".json")))
}

both <- function(id, formula, new_in, ...) {
  list(list(id = paste0(id, "_reml"), formula = formula, reml = TRUE, new_in = new_in, ...),
       list(id = paste0(id, "_ml"), formula = formula, reml = FALSE, new_in = new_in, ...))
}

# ---- real data -----------------------------------------------------------------------
pen <- as.data.frame(lme4::Penicillin)[, c("diameter", "plate", "sample")]
run_case("penicillin", pen, c("plate", "sample"),
         both("penicillin", "diameter ~ 1 + (1 | plate) + (1 | sample)", "plate", profile = TRUE))

pastes <- as.data.frame(lme4::Pastes)[, c("strength", "batch", "cask")]
run_case("pastes", pastes, c("batch", "cask"),
         both("pastes", "strength ~ 1 + (1 | batch/cask)", "cask", profile = TRUE))

mach <- as.data.frame(nlme::Machines)
mach <- data.frame(score = mach$score, Worker = as.character(mach$Worker),
                   Machine = as.character(mach$Machine))
run_case("machines", mach, c("Worker", "Machine"),
         c(both("machines", "score ~ Machine + (1 | Worker) + (1 | Worker:Machine)", "Worker",
                profile = TRUE, L = rbind(c(0, 1, -1), c(0, 1, 0))),
           both("machines_vector", "score ~ Machine + (Machine | Worker)", "Worker")))

# more real designs: split plots (Oats), nested with a vector-valued term (Pixel),
# consumers crossed with products (lmerTest's ham), pupils in primary schools crossed
# with secondary schools (mlmRev's ScotsSec)
oats <- as.data.frame(nlme::Oats)
oats <- data.frame(yield = oats$yield, nitro = oats$nitro, Block = as.character(oats$Block),
                   Variety = as.character(oats$Variety))
run_case("oats", oats, c("Block", "Variety"),
         both("oats", "yield ~ nitro + Variety + (1 | Block/Variety)", "Block"))

pixel <- as.data.frame(nlme::Pixel)
pixel <- data.frame(pixel = pixel$pixel, day = pixel$day, Dog = as.character(pixel$Dog),
                    Side = as.character(pixel$Side))
run_case("pixel", pixel, c("Dog", "Side"),
         both("pixel", "pixel ~ day + I(day^2) + (day | Dog) + (1 | Dog:Side)", "Dog"))

ham <- as.data.frame(lmerTest::ham)[, c("Informed.liking", "Product", "Information", "Consumer")]
run_case("ham", ham, c("Product", "Information", "Consumer"),
         both("ham", "Informed.liking ~ Product * Information + (1 | Consumer) + (1 | Product:Consumer)",
              "Consumer", L = rbind(c(0, 1, -1, 0, 0, 0, 0, 0), c(0, 0, 0, 0, 1, 0, 0, 0),
                                    c(0, 0, 0, 0, 0, 1, 1, 1))))

scot <- as.data.frame(mlmRev::ScotsSec)[, c("attain", "verbal", "sex", "primary", "second")]
run_case("scotssec", scot, c("sex", "primary", "second"),
         both("scotssec", "attain ~ verbal * sex + (1 | primary) + (1 | second)", "second",
              L = rbind(c(0, 0, 1, 0), c(0, 0, 0, 1))))

ie <- as.data.frame(lme4::InstEval)[, c("y", "s", "d", "dept", "service")]
run_case("insteval", ie, c("s", "d", "dept", "service"), condvar = FALSE, gz = TRUE,
         list(list(id = "insteval_reml", reml = TRUE, new_in = "d", reps = 3,
                   formula = "y ~ 1 + service + (1 | s) + (1 | d) + (1 | dept:service)"),
              list(id = "insteval_ml", reml = FALSE, new_in = "d", reps = 1,
                   formula = "y ~ 1 + service + (1 | s) + (1 | d) + (1 | dept:service)")))

# ---- seeded simulations --------------------------------------------------------------
# Each design has its own seed; responses are rounded to four decimals so that the CSV
# holds them exactly. Labels are zero-padded so that sorted labels are in design order.
lab <- function(prefix, k) sprintf(paste0(prefix, "%02d"), k)

# crossed, balanced: 30 subjects x 20 items, one row per pair
set.seed(2401)
cb <- expand.grid(i = lab("i", 1:20), s = lab("s", 1:30), stringsAsFactors = FALSE)
cb$x <- round(runif(nrow(cb), -1, 1), 3)
u <- rnorm(30, sd = 1.1)
v <- rnorm(20, sd = 0.7)
cb$y <- round(5 + 0.5 * cb$x + u[match(cb$s, lab("s", 1:30))] + v[match(cb$i, lab("i", 1:20))] +
              rnorm(nrow(cb)), 4)
cb <- cb[, c("y", "x", "s", "i")]
run_case("crossed_balanced", cb, c("s", "i"),
         both("crossed_balanced", "y ~ x + (1 | s) + (1 | i)", "s", profile = TRUE))

# crossed, unbalanced: 25 subjects x 18 items with one or two rows per pair, 40% of
# the rows then removed at random; prior weights and an offset for the weighted fits
set.seed(2402)
cu <- expand.grid(i = lab("i", 1:18), s = lab("s", 1:25), stringsAsFactors = FALSE)
cu <- cu[rep(seq_len(nrow(cu)), sample(1:2, nrow(cu), replace = TRUE)), ]
cu$x <- round(rnorm(nrow(cu)), 3)
cu$o <- round(runif(nrow(cu), 0, 2), 2)
cu$w <- round(runif(nrow(cu), 0.25, 4), 3)
u <- rnorm(25, sd = 0.9)
v <- rnorm(18, sd = 1.3)
cu$y <- round(2 - 0.8 * cu$x + cu$o + u[match(cu$s, lab("s", 1:25))] +
              v[match(cu$i, lab("i", 1:18))] + rnorm(nrow(cu)) / sqrt(cu$w), 4)
cu <- cu[sort(sample(nrow(cu), round(0.6 * nrow(cu)))), c("y", "x", "o", "w", "s", "i")]
run_case("crossed_unbalanced", cu, c("s", "i"),
         c(both("crossed_unbalanced", "y ~ x + (1 | s) + (1 | i)", "i"),
           both("crossed_weighted_offset", "y ~ x + offset(o) + (1 | s) + (1 | i)", "s", weights = "w")))

# partially crossed: 60 users, 40 items; each user rates 4 to 12 items drawn with
# skewed popularity (item k drawn with probability proportional to 1/k)
set.seed(2403)
pc <- do.call(rbind, lapply(1:60, function(k) {
  items <- sample(1:40, sample(4:12, 1), prob = 1 / (1:40))
  data.frame(s = lab("u", k), i = lab("i", items), stringsAsFactors = FALSE)
}))
pc$x <- round(runif(nrow(pc), 0, 3), 3)
u <- rnorm(60, sd = 0.8)
v <- rnorm(40, sd = 0.6)
pc$y <- round(3 + 0.3 * pc$x + u[match(pc$s, lab("u", 1:60))] + v[match(pc$i, lab("i", 1:40))] +
              rnorm(nrow(pc), sd = 0.9), 4)
pc <- pc[, c("y", "x", "s", "i")]
run_case("partially_crossed", pc, c("s", "i"),
         both("partially_crossed", "y ~ x + (1 | s) + (1 | i)", "i"))

# three-level nesting: 6 areas, 3 schools in each, 2 classes in each school, 3 to 5
# pupils per class; school and class labels repeat across areas (b1, b2, b3 in every
# area), so only a/b/c identifies a class
set.seed(2404)
nest <- expand.grid(c = c("c1", "c2"), b = c("b1", "b2", "b3"), a = lab("a", 1:6), stringsAsFactors = FALSE)
nest <- nest[rep(seq_len(nrow(nest)), sample(3:5, nrow(nest), replace = TRUE)), ]
ea <- rnorm(6, sd = 1.5)
eb <- rnorm(18, sd = 1)
ec <- rnorm(36, sd = 0.6)
ia <- match(nest$a, lab("a", 1:6))
ib <- (ia - 1) * 3 + match(nest$b, c("b1", "b2", "b3"))
ic <- (ib - 1) * 2 + match(nest$c, c("c1", "c2"))
nest$x <- round(rnorm(nrow(nest)), 3)
nest$y <- round(10 + 0.4 * nest$x + ea[ia] + eb[ib] + ec[ic] + rnorm(nrow(nest)), 4)
nest <- nest[, c("y", "x", "a", "b", "c")]
run_case("nested3", nest, c("a", "b", "c"),
         both("nested3", "y ~ x + (1 | a/b/c)", "c", profile = TRUE))

# vector-valued terms on two crossed factors: 24 subjects x 15 items, one or two rows
# per pair, intercepts and slopes on both factors; the same data with || on one factor
set.seed(2405)
vv <- expand.grid(i = lab("i", 1:15), s = lab("s", 1:24), stringsAsFactors = FALSE)
vv <- vv[rep(seq_len(nrow(vv)), sample(1:2, nrow(vv), replace = TRUE)), ]
vv$x <- round(runif(nrow(vv), -2, 2), 3)
us <- MASS::mvrnorm(24, c(0, 0), matrix(c(1, 0.3, 0.3, 0.4), 2))
ui <- MASS::mvrnorm(15, c(0, 0), matrix(c(0.6, -0.2, -0.2, 0.25), 2))
is <- match(vv$s, lab("s", 1:24))
ii <- match(vv$i, lab("i", 1:15))
vv$y <- round(1 + 0.7 * vv$x + us[is, 1] + us[is, 2] * vv$x + ui[ii, 1] + ui[ii, 2] * vv$x +
              rnorm(nrow(vv), sd = 0.8), 4)
vv <- vv[, c("y", "x", "s", "i")]
run_case("vector2", vv, c("s", "i"),
         c(both("vector2", "y ~ x + (x | s) + (x | i)", "s"),
           both("vector2_uncorrelated", "y ~ x + (x || s) + (1 | i)", "i")))

# a singular fit: no variance between items in the simulation, estimated at zero
set.seed(2406)
sg <- expand.grid(i = lab("i", 1:8), s = lab("s", 1:20), stringsAsFactors = FALSE)
sg$x <- round(rnorm(nrow(sg)), 3)
sg$y <- round(1 + 0.5 * sg$x + rnorm(20)[match(sg$s, lab("s", 1:20))] + rnorm(nrow(sg)), 4)
sg <- sg[, c("y", "x", "s", "i")]
run_case("singular", sg, c("s", "i"),
         both("singular", "y ~ x + (1 | s) + (1 | i)", "i"))

# lme4's order of terms: by decreasing number of levels, ties kept in the order
# written. a and b have 10 levels, c has 12, g has 5.
set.seed(2407)
tie <- data.frame(a = lab("a", sample(rep(1:10, 24))), b = lab("b", sample(rep(1:10, 24))),
                  c = lab("c", sample(rep(1:12, 20))), g = lab("g", sample(rep(1:5, 48))),
                  stringsAsFactors = FALSE)
tie$x <- round(runif(240, 0, 4), 3)
ua <- rnorm(10)
sa <- rnorm(10, sd = 0.5)
tie$y <- round(2 + 0.5 * tie$x + ua[match(tie$a, lab("a", 1:10))] +
               sa[match(tie$a, lab("a", 1:10))] * tie$x +
               rnorm(10, sd = 0.8)[match(tie$b, lab("b", 1:10))] +
               rnorm(12, sd = 0.7)[match(tie$c, lab("c", 1:12))] +
               rnorm(5, sd = 1.2)[match(tie$g, lab("g", 1:5))] +
               rnorm(240), 4)
tie <- tie[, c("y", "x", "a", "b", "c", "g")]
run_case("term_order", tie, c("a", "b", "c", "g"),
         c(both("tie_equal", "y ~ x + (1 | a) + (1 | b) + (0 + x | a)", "b"),
           both("tie_unequal", "y ~ x + (1 | a) + (1 | c) + (0 + x | a)", "a"),
           both("three_5_10_10", "y ~ 1 + (1 | g) + (1 | a) + (1 | b)", "g"),
           both("three_10_5_10", "y ~ 1 + (1 | b) + (1 | g) + (1 | a)", "a")))

# a ratings design of medium size: 1200 users and 500 items, 4 to 20 ratings per user,
# item popularity proportional to 1/k^0.8 (a few items are rated by most users, most by
# few), so that the item block of the cross-product fills unevenly
set.seed(2409)
rt <- do.call(rbind, lapply(1:1200, function(k) {
  items <- sample(1:500, sample(4:20, 1), prob = 1 / (1:500)^0.8)
  data.frame(user = sprintf("u%04d", k), item = sprintf("i%03d", items), stringsAsFactors = FALSE)
}))
rt$x <- round(rnorm(nrow(rt)), 3)
uu <- rnorm(1200, sd = 0.7)
vi <- rnorm(500, sd = 0.5)
rt$y <- round(3.5 + 0.2 * rt$x + uu[match(rt$user, sprintf("u%04d", 1:1200))] +
              vi[match(rt$item, sprintf("i%03d", 1:500))] + rnorm(nrow(rt)), 4)
rt <- rt[, c("y", "x", "user", "item")]
run_case("ratings", rt, c("user", "item"), gz = TRUE, reps = 3,
         both("ratings", "y ~ x + (1 | user) + (1 | item)", "item"))

# ---- bad input: what lme4 does (the fit, or its error), REML under lme4's defaults ----
# bad_input.csv is the balanced crossed design with extra label columns: `one` has a
# single level, `s_copy` is s under other labels, `i_missing` is i with seven labels
# missing, `id` is a level per row. bad_input_few.csv has 12 rows, with s and i of 8
# levels each: each term has fewer random effects than rows, the two together more.
bad_case <- function(d, formula) {
  run <- with_conditions(function() {
    fit <- lme4::lmer(as.formula(formula), d)
    list(outcome = "fit", n = nobs(fit), rows_dropped = nrow(d) - nobs(fit),
         ngrps = as.list(ngrps(fit)), theta = named(getME(fit, "theta")),
         criterion = REMLcrit(fit), beta = named(fixef(fit)), sigma = sigma(fit),
         singular = isSingular(fit), feval = fit@optinfo$feval,
         conv_messages = chr(unlist(fit@optinfo$conv$lme4$messages)))
  }, on_error = function(e) list(outcome = "error", error = conditionMessage(e)))
  c(list(formula = formula), run$value, run[c("warnings", "messages")])
}
if (wanted("bad_input")) {
  bad <- cb
  bad$one <- "only"
  bad$s_copy <- sub("^s", "copy", bad$s)
  bad$i_missing <- bad$i
  set.seed(2408)
  bad$i_missing[sort(sample(nrow(bad), 7))] <- NA
  bad$id <- sprintf("r%03d", seq_len(nrow(bad)))
  few <- data.frame(s = lab("s", c(1:8, 1:4)), i = lab("i", c(3, 1, 4, 8, 5, 2, 6, 7, 1, 2, 3, 4)),
                    x = round(runif(12, -1, 1), 3), stringsAsFactors = FALSE)
  few$y <- round(1 + few$x + rnorm(12), 4)
  few <- few[, c("y", "x", "s", "i")]
  bfile <- write_data(bad, "bad_input")
  ffile <- write_data(few, "bad_input_few")
  bd <- read_data(bfile, c("s", "i", "one", "s_copy", "i_missing", "id"))
  fd <- read_data(ffile, c("s", "i"))
  cases <- list(
    one_level = list(bfile, bd, "y ~ x + (1 | s) + (1 | one)"),
    identical_factors = list(bfile, bd, "y ~ x + (1 | s) + (1 | s_copy)"),
    identical_by_interaction = list(bfile, bd, "y ~ x + (1 | s) + (1 | s:one)"),
    label_missing = list(bfile, bd, "y ~ x + (1 | s) + (1 | i_missing)"),
    levels_equal_rows = list(bfile, bd, "y ~ x + (1 | s) + (1 | id)"),
    more_effects_than_rows_in_a_term = list(ffile, fd, "y ~ x + (1 | s) + (x | i)"),
    more_effects_than_rows_in_all = list(ffile, fd, "y ~ x + (1 | s) + (1 | i)"))
  res <- lapply(cases, function(k) c(list(data = k[[1]], rows = nrow(k[[2]])), bad_case(k[[2]], k[[3]])))
  res$`_meta` <- meta()
  writeLines(toJSON(res, auto_unbox = TRUE, digits = NA, pretty = TRUE, null = "null", na = "null"),
             file.path(out, "bad_input.json"))
}
