"""Table and notebook forms of SAEResults."""
import html

from ._core import SAEResults
from ._frames import columns_to_frame


def to_pandas(self, component="prediction"):
    """One part of the result as a DataFrame: "prediction", "fixed_effects",
    "random_effects" or "stats"; the columns are those of the program's CSV
    outputs (the record fields). An MSE not estimated is NaN."""
    return columns_to_frame(self._component_columns(component))


def _repr_html_(self):
    return "<pre>" + html.escape(self.report()) + "</pre>"


SAEResults.to_pandas = to_pandas
SAEResults._repr_html_ = _repr_html_
