"""Preprocessing transformers for tabular machine-learning pipelines, with a C++ core."""

__version__ = "0.1.0"
