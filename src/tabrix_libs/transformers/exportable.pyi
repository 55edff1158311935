# Type stubs of the compiled module tabrix_libs.transformers.exportable.
# Data matrices are typed loosely (Any): the transformers take NumPy arrays of any dtype, object
# arrays of mixed cells included, pandas and polars DataFrames, and some accept sparse matrices
# or return their input itself.
import warnings as warnings
from time import time as time
from typing import Any, Callable, Dict, List, Tuple, TypeVar

import numpy as np
import sklearn as sklearn
from sklearn.base import BaseEstimator as BaseEstimator
from sklearn.base import TransformerMixin as TransformerMixin
from sklearn.impute import SimpleImputer as SimpleImputer
from sklearn.preprocessing import StandardScaler as StandardScaler
from sklearn.utils.validation import check_array as check_array

from tabrix_libs.utils.exportable_utils import compress_str_column as compress_str_column
from tabrix_libs.utils.exportable_utils import convert_float32 as convert_float32
from tabrix_libs.utils.exportable_utils import (
    global_missing_values_reference_list as global_missing_values_reference_list,
)
from tabrix_libs.utils.exportable_utils import numpy_boolean2float as numpy_boolean2float
from tabrix_libs.utils.exportable_utils import numpy_floatstr2float as numpy_floatstr2float
from tabrix_libs.utils.exportable_utils import numpy_permute_array as numpy_permute_array
from tabrix_libs.utils.exportable_utils import numpy_replace_values as numpy_replace_values
from tabrix_libs.utils.exportable_utils import numpy_select_columns as numpy_select_columns
from tabrix_libs.utils.exportable_utils import numpy_whatis as numpy_whatis
from tabrix_libs.utils.exportable_utils import setValueOrDefault as setValueOrDefault

_Self = TypeVar("_Self")

sklearn_version_list: List[str]
global_sklearn_version_family: str

debug_transform_return: bool
debug: bool
debug_timings: bool
debug_catnum: bool
debug_date_transformer: bool

class ColumnSelector(BaseEstimator, TransformerMixin):
    columns_indices_list: Any
    activate_flag: Any
    columns_selected_flag: Any
    n_features_in_: int
    feature_names_in_: np.ndarray  # after a fit on a DataFrame with string column names
    def __init__(self, columns_indices_list: Any, activate_flag: Any = ...) -> None: ...
    def fit(self: _Self, X: Any, y: Any = ...) -> _Self: ...
    def transform(self, X: Any) -> Any: ...

class NumpyColumnSelector(BaseEstimator, TransformerMixin):
    columns: Any
    n_features_in_: int
    feature_names_in_: np.ndarray  # after a fit on a DataFrame with string column names
    def __init__(self, columns: Any = ...) -> None: ...
    def fit(self: _Self, X: Any, y: Any = ...) -> _Self: ...
    def transform(self, X: Any) -> Any: ...

class NumpyApplyAlongAxis(BaseEstimator, TransformerMixin):
    func1d: Callable[..., Any]
    axis: Any
    index_list: Any
    args: Tuple[Any, ...]
    kwargs: Dict[str, Any]
    n_features_in_: int
    feature_names_in_: np.ndarray  # after a fit on a DataFrame with string column names
    def __init__(
        self,
        func1d: Callable[..., Any],
        axis: Any = ...,
        index_list: Any = ...,
        *args: Any,
        **kwargs: Any,
    ) -> None: ...
    def fit(self: _Self, X: Any, y: Any = ...) -> _Self: ...
    def transform(self, X: Any) -> Any: ...

class NumpyReplaceMissingValues(BaseEstimator, TransformerMixin):
    missing_values: Any
    filling_values: Any
    n_features_in_: int
    feature_names_in_: np.ndarray  # after a fit on a DataFrame with string column names
    def __init__(self, missing_values: Any, filling_values: Any = ...) -> None: ...
    def fit(self: _Self, X: Any, y: Any = ...) -> _Self: ...
    def transform(self, X: Any) -> Any: ...

class NumpyReplaceUnknownValues(BaseEstimator, TransformerMixin):
    known_values_list: Any
    filling_values: Any
    missing_values_reference_list: Any
    filling_values_list: Any
    n_features_in_: int
    feature_names_in_: np.ndarray  # after a fit on a DataFrame with string column names
    def __init__(
        self,
        known_values_list: Any = ...,
        filling_values: Any = ...,
        missing_values_reference_list: Any = ...,
        filling_values_list: Any = ...,
    ) -> None: ...
    def fit(self: _Self, X: Any, y: Any = ...) -> _Self: ...
    def transform(self, X: Any) -> Any: ...

class NumpyPermuteArray(BaseEstimator, TransformerMixin):
    permutation_indices: Any
    axis: Any
    n_features_in_: int
    feature_names_in_: np.ndarray  # after a fit on a DataFrame with string column names
    def __init__(self, permutation_indices: Any = ..., axis: Any = ...) -> None: ...
    def fit(self: _Self, X: Any, y: Any = ...) -> _Self: ...
    def transform(self, X: Any) -> Any: ...

class OptStandardScaler(BaseEstimator, TransformerMixin):
    use_scaler_flag: Any
    num_scaler_copy: Any
    num_scaler_with_mean: Any
    num_scaler_with_std: Any
    scaler: StandardScaler
    n_features_in_: int
    feature_names_in_: np.ndarray  # after a fit on a DataFrame with string column names
    def __init__(self, use_scaler_flag: Any = ..., **kwargs: Any) -> None: ...
    def fit(self: _Self, X: Any, y: Any = ...) -> _Self: ...
    def transform(self, X: Any) -> Any: ...

class CatImputer(BaseEstimator, TransformerMixin):
    strategy: Any
    missing_values: Any
    sklearn_version_family: str
    activate_flag: Any
    imputer: SimpleImputer
    n_features_in_: int
    feature_names_in_: np.ndarray  # after a fit on a DataFrame with string column names
    def __init__(
        self,
        strategy: Any,
        missing_values: Any,
        sklearn_version_family: str = ...,
        activate_flag: Any = ...,
    ) -> None: ...
    def fit(self: _Self, X: Any, y: Any = ...) -> _Self: ...
    def transform(self, X: Any) -> Any: ...

class CatEncoder(BaseEstimator, TransformerMixin):
    encoding: Any
    categories: Any
    dtype: Any
    handle_unknown: Any
    sklearn_version_family: str
    activate_flag: Any
    encoder: Any
    categories_found: List[np.ndarray]
    n_features_in_: int
    feature_names_in_: np.ndarray  # after a fit on a DataFrame with string column names
    def __init__(
        self,
        encoding: Any,
        categories: Any,
        dtype: Any,
        handle_unknown: Any,
        sklearn_version_family: str = ...,
        activate_flag: Any = ...,
    ) -> None: ...
    def fit(self: _Self, X: Any, y: Any = ...) -> _Self: ...
    def transform(self, X: Any) -> Any: ...

def is_all_missing(x: Any, bad_vals: Any) -> np.bool_: ...

class NumImputer(BaseEstimator, TransformerMixin):
    strategy: Any
    missing_values: Any
    activate_flag: Any
    imputer: SimpleImputer
    bad_columns: List[int]
    n_features_in_: int
    feature_names_in_: np.ndarray  # after a fit on a DataFrame with string column names
    def __init__(self, strategy: Any, missing_values: Any, activate_flag: Any = ...) -> None: ...
    def fit(self: _Self, X: Any, y: Any = ...) -> _Self: ...
    def transform(self, X: Any) -> Any: ...

class AllPassPreprocessingTransformer(BaseEstimator, TransformerMixin):
    n_features_in_: int
    feature_names_in_: np.ndarray  # after a fit on a DataFrame with string column names
    def __init__(self) -> None: ...
    def fit(self: _Self, X: Any, y: Any = ...) -> _Self: ...
    def transform(self, X: Any) -> Any: ...

class CompressStrings(BaseEstimator, TransformerMixin):
    compress_type: Any
    dtypes_list: Any
    misslist_list: Any
    missing_values_reference_list: Any
    activate_flag: Any
    n_features_in_: int
    feature_names_in_: np.ndarray  # after a fit on a DataFrame with string column names
    def __init__(
        self,
        compress_type: Any = ...,
        dtypes_list: Any = ...,
        misslist_list: Any = ...,
        missing_values_reference_list: Any = ...,
        activate_flag: Any = ...,
    ) -> None: ...
    def fit(self: _Self, X: Any, y: Any = ...) -> _Self: ...
    def transform(self, X: Any) -> Any: ...

class FloatStr2Float(BaseEstimator, TransformerMixin):
    dtypes_list: Any
    missing_values_reference_list: Any
    activate_flag: Any
    n_features_in_: int
    feature_names_in_: np.ndarray  # after a fit on a DataFrame with string column names
    def __init__(
        self, dtypes_list: Any, missing_values_reference_list: Any = ..., activate_flag: Any = ...
    ) -> None: ...
    def fit(self: _Self, X: Any, y: Any = ...) -> _Self: ...
    def transform(self, X: Any) -> Any: ...

class float32_transform(BaseEstimator, TransformerMixin):
    activate_flag: Any
    n_features_in_: int
    feature_names_in_: np.ndarray  # after a fit on a DataFrame with string column names
    def __init__(self, activate_flag: Any = ...) -> None: ...
    def fit(self: _Self, X: Any, y: Any = ...) -> _Self: ...
    def transform(self, X: Any) -> Any: ...

class boolean2float(BaseEstimator, TransformerMixin):
    activate_flag: Any
    n_features_in_: int
    feature_names_in_: np.ndarray  # after a fit on a DataFrame with string column names
    def __init__(self, activate_flag: Any = ...) -> None: ...
    def fit(self: _Self, X: Any, y: Any = ...) -> _Self: ...
    def transform(self, X: Any) -> Any: ...
