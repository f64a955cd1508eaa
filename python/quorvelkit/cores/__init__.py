"""The compiled cores seen from Python: the interface every core answers (protocol), the
crossed core built from a design in lme4's layout (crossed_core), the GLMM cores
(glmm_core, glmm_point), and the products of rows, one format with one merge that checks
the labels themselves (products, crossed_products)."""
