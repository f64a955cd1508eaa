"""Ground floor: what every layer uses and nothing of the package's own: the errors and
warnings it raises, data frames as the model reads them, group labels as values, the
progress bar, the bundled data sets and the imports made on first use."""
