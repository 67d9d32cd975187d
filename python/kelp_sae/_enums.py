"""The library's text enumerations as Python enums.

Each member equals its display text, converts to it with ``str`` and is found
from it: ``Indicator("Gini Coefficient") is Indicator.GINI``. Members and
texts come from the compiled library.
"""
import enum

from ._core import _enumerations


class _TextEnum(str, enum.Enum):
    def __str__(self):
        return self.value

    def __format__(self, format_spec):
        return format(self.value, format_spec)


def _make(name, description, members):
    cls = _TextEnum(name, [(member, text) for member, text in members], module=__name__)
    cls.__doc__ = description or None
    return cls


(
    AreaMethod,
    UnitMethod,
    SaeLevel,
    MseMethod,
    Transformation,
    Indicator,
    ImputationType,
) = (_make(*e) for e in _enumerations())
