# lme4's reading of random-effects terms on several grouping factors, for
# tests/python/test_crossed_terms.py: for each (data, formula) case, the terms as
# findbars expands them, the terms in mkReTrms's order with their numbers of levels,
# names(getME(fit, "theta")), the factor of each term, lme4's number of observations
# after na.omit and each factor's label of every row used.
#
# Run from this directory: Rscript make_terms_reference.R
# (lme4 1.1-31, nlme for Machines, jsonlite). Writes terms.csv (the simulated data, seeded) and
# terms_reference.json.
suppressMessages({
  library(lme4)
  library(jsonlite)
  library(nlme)
})

set.seed(20240)
n <- 120
sim <- data.frame(
  y = round(rnorm(n), 6),
  x = round(runif(n), 6),
  w = round(rnorm(n), 6),
  a = sample(c("a1", "a2", "a3", "a4"), n, TRUE),
  g = sample(1:4, n, TRUE),
  c = sample(c("c1", "c2", "c3"), n, TRUE),
  b = sample(1:12, n, TRUE),
  s = rep(c("S1", "S2", "S3"), length.out = n)
)
# classes within schools, labels reused across schools (2, 3 and 2 classes);
# pupils within classes, labels reused too
ks <- c(S1 = 2, S2 = 3, S3 = 2)
sim$k <- vapply(seq_len(n), function(i) sample(seq_len(ks[[sim$s[i]]]), 1), 1L)
sim$p <- sample(1:3, n, TRUE)
# a label missing in one grouping factor only
sim$gm <- sim$g
sim$gm[c(3, 17, 40, 41, 99)] <- NA
write.csv(sim, "terms.csv", row.names = FALSE, na = "")

# sleepstudy is tests/data/sleepstudy_data.csv already
data_sets <- list(
  terms = sim, pastes = Pastes, machines = as.data.frame(Machines), penicillin = Penicillin,
  sleepstudy = sleepstudy
)
for (nm in c("pastes", "machines", "penicillin")) {
  write.csv(data_sets[[nm]], paste0(nm, ".csv"), row.names = FALSE)
}

cases <- list(
  list("one_factor", "sleepstudy", "Reaction ~ Days + (Days | Subject) + (0 + Days | Subject)"),
  list("crossed", "terms", "y ~ x + (1 | a) + (1 | b)"),
  list("tie_in_order", "terms", "y ~ (1 | a) + (1 | g)"),
  list("tie_reordered", "terms", "y ~ (1 | a) + (1 | c) + (1 | g)"),
  list("interleaved", "terms", "y ~ x + (1 | a) + (1 | g) + (0 + x | a) + (1 | b)"),
  list("vector_two_factors", "terms", "y ~ x + (x | a) + (x | b)"),
  list("double_bar_two", "terms", "y ~ x + (x || a) + (1 | b) + (x + w || g)"),
  list("double_bar_nested", "terms", "y ~ x + (x || s/k)"),
  list("nested_two", "terms", "y ~ x + (1 | s/k)"),
  list("nested_three", "terms", "y ~ x + (x | s/k/p)"),
  list("nested_interaction", "terms", "y ~ (1 | s/k:p)"),
  list("interaction", "terms", "y ~ x + (1 | a:c) + (1 | a)"),
  list("interaction_three", "terms", "y ~ (1 | a:c:g) + (x | b)"),
  list("several_on_one", "terms", "y ~ x + (1 | b) + (0 + x | b) + (1 | s)"),
  list("missing_label", "terms", "y ~ x + (1 | a) + (1 | gm)"),
  list("pastes", "pastes", "strength ~ 1 + (1 | batch/cask)"),
  list("machines", "machines", "score ~ Machine + (1 | Worker) + (1 | Worker:Machine)"),
  list("penicillin", "penicillin", "diameter ~ 1 + (1 | plate) + (1 | sample)")
)

ctrl <- lmerControl(
  check.nobs.vs.nlev = "ignore", check.nobs.vs.nRE = "ignore", check.nlev.gtr.1 = "ignore"
)
out <- list()
for (case in cases) {
  name <- case[[1]]
  f <- as.formula(case[[3]])
  lf <- lFormula(f, data_sets[[case[[2]]]], control = ctrl)
  rt <- lf$reTrms
  theta_names <- unname(unlist(mapply(lme4:::mkPfun(), names(rt$cnms), rt$cnms, SIMPLIFY = FALSE)))
  labels <- lapply(rt$flist, function(ff) as.character(ff))
  out[[name]] <- list(
    data = case[[2]],
    formula = case[[3]],
    bars = I(vapply(findbars(f), deparse1, "")),
    terms = I(unname(names(rt$Ztlist))),
    groups = I(unname(names(rt$cnms))),
    columns = unname(lapply(rt$cnms, I)),
    n_levels = I(unname(rt$nl)),
    theta_names = I(theta_names),
    n = nrow(lf$fr),
    factors = I(names(rt$flist)),
    labels = labels
  )
}
writeLines(toJSON(out, auto_unbox = TRUE, digits = NA, pretty = FALSE), "terms_reference.json")
