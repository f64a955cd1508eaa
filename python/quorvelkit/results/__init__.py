"""The fitted models and what is computed from them: the random effects of every model
(mixed_effects), the estimates (estimates), LmmFit (lmm_fit, lmm_predict), CrossedFit
(crossed_fit) and GlmmFit (glmm_fit), reports, predictions, tests (satterthwaite,
inference, anova, pvalues), profiles, bootstraps and plots."""
