# R's own numbers for the exponential-family pieces of GLMMs: binomial(link = "logit",
# "probit", "cloglog") and poisson() evaluated on grids that reach every clamp
# (linkinv, mu.eta, dev.resids, and the dbinom / dpois log densities).
#
#   Rscript tests/data/glmm/make_family_reference.R    (from the repository's root)
#
# Writes tests/data/glmm/family_links.csv and family_observations.csv, which the C++
# family tests read. Every double is written with 17 significant digits (it reads back
# as the same double); infinities as Inf.
dir <- file.path("tests", "data", "glmm")

num <- function(x) sprintf("%.17g", x)
row <- function(...) paste(..., sep = ",")

fams <- list(logit = binomial("logit"), probit = binomial("probit"),
             cloglog = binomial("cloglog"), log = poisson())
eps <- .Machine$double.eps
pthresh <- -qnorm(eps)

# eta: both sides of every clamp (logit +-30, probit +-qnorm(eps), poisson log(eps),
# cloglog's 700 and where 1 - exp(-exp(eta)) reaches 1 - eps or eps), the interior,
# and far beyond.
etas <- sort(unique(c(-800, -40, -36.5, -36, -30.5, -30, -29.5, -20, -8.2, -pthresh,
                      -8, -5.5, -5, -3.7, -1, -0.3, -1e-9, 0, 1e-9, 0.3, 1, 2.5, 3.6,
                      3.7, 5, 5.5, 8, pthresh, 8.2, 20, 29.5, 30, 30.5, 40, 699, 700,
                      710, 800)))
link_rows <- character()
for (ln in names(fams)) {
  f <- fams[[ln]]
  for (e in etas)
    link_rows <- c(link_rows, row(ln, num(e), num(f$linkinv(e)),
                                  num(f$mu.eta(e))))
}

# Observations: (y, mu, w) with the unit deviance and the log density glmer sums, each
# for that one observation.
obs_rows <- character()
add_obs <- function(fam, y, mu, w) {
  f <- if (fam == "binomial") binomial() else poisson()
  dev <- f$dev.resids(y, mu, w)
  ld <- if (fam == "binomial") dbinom(round(w * y), round(w), mu, log = TRUE)
        else w * dpois(y, mu, log = TRUE)
  obs_rows <<- c(obs_rows, row(fam, num(y), num(mu), num(w), num(dev), num(ld)))
}
lo <- binomial()$linkinv(-40)
hi <- binomial()$linkinv(40)
bin_mu <- c(lo, 1e-6, 0.2, 0.5, 3 / 7, 0.9, 1 - 1e-9, hi)
for (n in c(1, 7, 1000)) {
  ys <- switch(as.character(n), "1" = c(0, 1), "7" = c(0, 1 / 7, 3 / 7, 1),
               "1000" = c(0, 0.001, 0.5, 0.999, 1))
  for (y in ys) for (mu in bin_mu) add_obs("binomial", y, mu, n)
}
pois_mu <- c(eps, 1e-3, 0.5, 1, 3, 20, 1e6, 1.0000001e6)
for (w in c(1, 2.5)) for (y in c(0, 1, 3, 17, 1e6)) for (mu in pois_mu) add_obs("poisson", y, mu, w)

header <- sprintf("# %s; written by make_family_reference.R", R.version.string)
writeLines(c(header, "link,eta,mu,mu_eta", link_rows), file.path(dir, "family_links.csv"))
writeLines(c(header, "family,y,mu,w,dev,logdens", obs_rows), file.path(dir, "family_observations.csv"))
cat(sprintf("wrote %d link rows, %d observations to %s\n", length(link_rows), length(obs_rows), dir))
