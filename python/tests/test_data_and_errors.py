"""DataFrame conversion, the library's exceptions, results, progress and Ctrl-C."""
import _thread
import sys
import threading
import types

import numpy as np
import pandas as pd
import pytest

import kelp_sae as ks
from kelp_sae._core import Table
from kelp_sae._frames import columns_to_frame

X = ["x1", "x2", ks.Cat("region", "North")]


def test_columns_convert_with_their_nulls_whatever_the_index():
    df = pd.DataFrame({
        "f": [1.5, np.nan, 3.0],
        "i": pd.array([1, None, 3], dtype="Int64"),
        "n": np.array([4, 5, 6], dtype=np.int32),
        "b": [True, False, True],
        "t": ["a", None, "c"],
        "c": pd.Categorical(["u", None, "v"]),
        "g": pd.Categorical([10, 20, 10]),
    }, index=[7, 3, 5])
    back = columns_to_frame(Table(df)._columns())
    expected = pd.DataFrame({
        "f": [1.5, np.nan, 3.0],
        "i": pd.array([1, None, 3], dtype="Int64"),
        "n": [4, 5, 6],
        "b": [1, 0, 1],
        "t": ["a", None, "c"],
        "c": ["u", None, "v"],
        "g": [10, 20, 10],
    })
    pd.testing.assert_frame_equal(back, expected)


def test_fh_reads_categorical_text_and_nullable_columns_like_plain_ones(data):
    areas = data("area_table.csv")
    plain = ks.AreaLevel(areas).fh("y", X, "area", variance="var").to_dict()

    mixed = areas.assign(area=areas["area"].astype(str),
                         region=areas["region"].astype("category"),
                         x2=areas["x2"].astype("Float64"))
    extra = mixed.iloc[[0]].assign(area="extra", x2=pd.array([None], dtype="Float64"))
    mixed = pd.concat([mixed, extra])
    mixed.index = range(100 + len(mixed), 100, -1)
    assert ks.AreaLevel(mixed).fh("y", X, "area", variance="var").to_dict() == plain


def test_errors_name_the_argument_or_column(data):
    areas = data("area_table.csv")
    model = ks.AreaLevel(areas)
    with pytest.raises(ks.ModelError) as e:
        model.fh("y", ["x1", "nope"], "area", variance="var")
    assert (e.value.title, e.value.code) == ("Missing columns", "MISSING_COLUMN")
    assert "nope" in e.value.detail

    cases = [
        (dict(method="XYZ"), ks.ArgumentError, "method"),
        (dict(n_reps=0, mse="bootstrap"), ks.ArgumentError, "n_reps"),
        (dict(n_reps="ten"), ks.ArgumentTypeError, "n_reps"),
        (dict(rstate=1.5), ks.ArgumentTypeError, "rstate"),
        (dict(bogus=1), ks.ArgumentTypeError, "bogus"),
    ]
    for options, error, argument in cases:
        with pytest.raises(error) as e:
            model.fh("y", X, "area", **{"variance": "var", **options})
        assert e.value.argument == argument, options
    assert issubclass(ks.ArgumentError, ValueError)
    assert issubclass(ks.ArgumentTypeError, TypeError)

    with pytest.raises(ks.ArgumentTypeError, match="x must be"):
        model.fh("y", 3, "area", variance="var")
    with pytest.raises(TypeError, match="Input must be a kelp Sample object or a pandas DataFrame"):
        ks.AreaLevel({"y": [1.0]})
    with pytest.raises(ks.ArgumentTypeError, match="column 'when' of data"):
        ks.UnitLevel(areas.assign(when=pd.Timestamp("2024-01-01")))
    with pytest.raises(ks.ArgumentError) as e:
        model.fh("y", X, "area", variance="var").to_pandas("fixed")
    assert e.value.argument == "component"


def test_results_as_tables_text_and_enums(data):
    res = ks.AreaLevel(data("area_table.csv")).fh("y", X, "area", variance="var")
    assert res.level == ks.SaeLevel.AREA == "Area Level"
    assert str(ks.Indicator.QSR) == "Quintile Share Ratio"
    assert ks.Transformation("None") is ks.Transformation.NONE

    d = res.to_dict()
    frames = {c: res.to_pandas(c) for c in ["prediction", "fixed_effects", "random_effects",
                                            "stats"]}
    assert list(frames["prediction"].columns) == list(d["prediction"][0])
    assert frames["prediction"]["pred"].tolist() == [p["pred"] for p in d["prediction"]]
    assert frames["fixed_effects"]["term"].tolist() == [f.term for f in res.fixed_effects]
    assert frames["random_effects"]["est"][0] == res.random_effects.est
    assert frames["stats"].iloc[0].to_dict() == d["stats"]

    assert res.report() == str(res) and "Fay-Herriot" in res.report()
    assert res._repr_html_().startswith("<pre>")
    assert res.set_print_width(60) is res and res.print_width == 60
    with pytest.raises(ValueError, match="print width must be > 20 characters."):
        res.set_print_width(20)


def test_ctrl_c_stops_a_bootstrap_with_keyboard_interrupt(data):
    model = ks.UnitLevel(data("unit_sample.csv"))
    timer = threading.Timer(0.3, _thread.interrupt_main)
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            model.eblup("y", ["x1", "x2"], "area", data("census.csv"), mse="Bootstrap",
                        n_reps=10_000_000, rstate=1, progress_bar=False)
    finally:
        timer.cancel()


def test_progress_goes_to_tqdm_when_importable_else_to_stdout(data, capsys, monkeypatch):
    def fit():
        ks.AreaLevel(data("area_table.csv")).fh("y", X, "area", variance="var", mse="bootstrap",
                                                n_reps=12, batch_size=4, rstate=1)

    fit()
    assert "  Batch 3/3 completed." in capsys.readouterr().out

    bars = []

    class FakeBar:
        def __init__(self, total, desc, unit):
            self.args, self.done, self.closed = (total, desc, unit), 0, False
            bars.append(self)

        def update(self, n):
            self.done += n

        def close(self):
            self.closed = True

    fake = types.ModuleType("tqdm.auto")
    fake.tqdm = FakeBar
    monkeypatch.setitem(sys.modules, "tqdm", types.ModuleType("tqdm"))
    monkeypatch.setitem(sys.modules, "tqdm.auto", fake)
    fit()
    assert [(b.args, b.done, b.closed) for b in bars] == [((3, "Bootstrap FH", "batch"), 3, True)]
    assert capsys.readouterr().out == ""
