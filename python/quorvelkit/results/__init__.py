"""The fitted models and what is computed from them: the estimates (estimates), LmmFit
(lmm_fit), CrossedFit (crossed_fit) and GlmmFit (glmm_fit) with their random effects,
reports, predictions, tests (satterthwaite, inference, anova, pvalues), profiles,
bootstraps and plots."""
