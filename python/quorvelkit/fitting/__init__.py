"""From a design to a fitted model: the one fit (model_fit: fit_model and the model
classes, LinearModel and GlmmModel in glmm_model) and the fit of a core from rows or
products (core_fit)."""
