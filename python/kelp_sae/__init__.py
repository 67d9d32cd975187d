"""kelp_sae: small area estimation over pandas DataFrames.

Fay-Herriot area-level models (``AreaLevel(df).fh``), the nested-error
unit-level EBLUP (``UnitLevel(df).eblup``) and the EBP of poverty and
inequality indicators (``UnitLevel(df).ebp``), computed by the compiled
kelp-sae library: the same seed gives the numbers of the ``kelp-sae``
program.

    >>> import kelp_sae as ks
    >>> res = ks.AreaLevel(areas).fh("y", ["x1", ks.Cat("region", "North")], "area",
    ...                              variance="var", mse="bootstrap", rstate=7)
    >>> res.to_pandas("prediction")
"""
from ._core import (
    AreaLevel,
    Cat,
    Feature,
    FixedEffect,
    OptimizationResult,
    RandomEffect,
    RandomState,
    RE,
    SAEPred,
    SAEResults,
    SAEStats,
    Sample,
    UnitLevel,
    __version__,
)
from ._enums import (
    AreaMethod,
    ImputationType,
    Indicator,
    MseMethod,
    SaeLevel,
    Transformation,
    UnitMethod,
)
from ._errors import (
    ArgumentError,
    ArgumentTypeError,
    ColumnNotFoundError,
    InvalidInputError,
    KelpSaeError,
    ModelError,
)
from . import _results  # noqa: F401  (adds to_pandas and _repr_html_ to SAEResults)

__all__ = [
    "AreaLevel",
    "UnitLevel",
    "AreaMethod",
    "UnitMethod",
    "SaeLevel",
    "MseMethod",
    "Transformation",
    "Indicator",
    "SAEStats",
    "SAEPred",
    "FixedEffect",
    "RandomEffect",
    "SAEResults",
    "OptimizationResult",
    "Sample",
    "Feature",
    "Cat",
    "RE",
    "RandomState",
    "ModelError",
    "ArgumentError",
    "ArgumentTypeError",
    "ColumnNotFoundError",
    "InvalidInputError",
    "KelpSaeError",
]
