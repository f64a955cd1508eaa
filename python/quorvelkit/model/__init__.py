"""The model: what the formula and a first look at the data decide (description: ModelSpec, learnt
once by model_learning), a fit's design with its rows (design), the checks of the
model's shape (model_checks), the data arguments (data_arguments), group codes across
batches (group_codes) and the fit's options (fit_options: FitOptions, declared once)."""
