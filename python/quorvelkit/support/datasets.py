"""The data sets bundled with the package."""

from importlib import resources

import pandas as pd


def load_sleepstudy() -> pd.DataFrame:
    """The bundled sleepstudy data (Belenky et al. 2003) as a pandas DataFrame with
    columns Reaction, Days and Subject."""
    with resources.files("quorvelkit").joinpath("data/sleepstudy_data.csv").open("r") as fh:
        return pd.read_csv(fh)
