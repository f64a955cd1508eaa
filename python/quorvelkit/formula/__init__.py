"""The formula: lme4's notation read into terms (parsing), every expression checked before
anything evaluates it (expressions, term_code, r_functions), the expressions' values
over the data (expression_values), the grouping factors of the bars (grouping) and the
checks of what a caller hands in (checks)."""
