"""Data read in batches: the one interface of a source (interface), the one list of
sources (registry), and one module per source: Parquet files, directories, pyarrow
datasets and iterators of DataFrames (batch_loop, with the reader in parquet), Dask
(dask, with its Arrow route in dask_parquet), Spark (spark) and Polars (polars_source).
A new source is one module here and one entry in registry.registered()."""
