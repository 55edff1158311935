"""The names of the transformers module's class table, in the order it defines them."""

CLASS_TABLE = [
    "ColumnSelector",
    "NumpyColumnSelector",
    "NumpyApplyAlongAxis",
    "NumpyReplaceMissingValues",
    "NumpyReplaceUnknownValues",
    "NumpyPermuteArray",
    "OptStandardScaler",
    "CatImputer",
    "CatEncoder",
    "is_all_missing",
    "NumImputer",
    "AllPassPreprocessingTransformer",
    "CompressStrings",
    "FloatStr2Float",
    "float32_transform",
    "boolean2float",
]
