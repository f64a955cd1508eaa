"""The compiled cores seen from Python: the interface every core answers (protocol), the
crossed core built from a design in lme4's layout (crossed_core), the GLMM cores
(glmm_core, glmm_point), the products of rows, one format with one merge that checks
the labels themselves (product_layout, products), and a crossed core's products with a
fixed effect held (crossed_products)."""
