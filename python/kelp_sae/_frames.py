"""pandas DataFrames to and from the library's column tables.

Every column is described once for the compiled core as
``(name, kind, values, valid[, categories])`` with numpy buffers: floats as
float64, integers and booleans (0/1) as int64, texts as an object array, and
categoricals as int64 codes plus their categories. A missing value (NaN,
None, pd.NA, NaT) is a null of the library. The index is not data and is
ignored.
"""
import numpy as np
import pandas as pd
from pandas.api import types

from ._errors import ArgumentTypeError


def _valid(series):
    missing = series.isna().to_numpy(dtype=bool)
    return ~missing if missing.any() else None


def _describe(name, series, function, argument):
    dtype = series.dtype
    if isinstance(dtype, pd.CategoricalDtype):
        categories = _describe(name, pd.Series(dtype.categories), function, argument)
        return (name, "cat", series.cat.codes.to_numpy(dtype=np.int64), None, categories)
    if types.is_bool_dtype(dtype):
        valid = _valid(series)
        return (name, "int", series.to_numpy(dtype=np.int64, na_value=0), valid)
    if types.is_integer_dtype(dtype):
        if dtype == np.uint64 and len(series) and series.max() > np.iinfo(np.int64).max:
            raise ArgumentTypeError(
                f"{function}: column '{name}' of {argument} holds integers beyond 64-bit signed.",
                function, argument)
        valid = _valid(series)
        return (name, "int", series.to_numpy(dtype=np.int64, na_value=0), valid)
    if types.is_float_dtype(dtype):
        return (name, "float", series.to_numpy(dtype=np.float64, na_value=np.nan), _valid(series))
    if types.is_string_dtype(dtype) or types.is_object_dtype(dtype):
        return (name, "text", series.to_numpy(dtype=object), _valid(series))
    raise ArgumentTypeError(
        f"{function}: column '{name}' of {argument} has the unsupported type {dtype}; "
        "use numbers, booleans, texts or categoricals.", function, argument)


def describe_columns(data, function, argument):
    """The columns of DataFrame ``data`` (argument ``argument`` of ``function``)."""
    if not isinstance(data, pd.DataFrame):
        raise ArgumentTypeError(
            f"{function}: {argument} must be a pandas DataFrame; got {type(data).__name__}.",
            function, argument)
    return [_describe(str(name), data.iloc[:, i], function, argument)
            for i, name in enumerate(data.columns)]


def columns_to_frame(columns):
    """A DataFrame from the core's ``(name, kind, values, valid)`` columns."""
    out = {}
    for name, kind, values, valid in columns:
        if kind == "float":
            values = np.where(valid, values, np.nan)
        elif kind == "int" and not valid.all():
            values = pd.arrays.IntegerArray(np.asarray(values), ~valid)
        out[name] = values
    return pd.DataFrame(out)
