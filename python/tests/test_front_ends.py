"""Each front end gives the program's numbers for the same data, options and seed."""
import threading

import numpy as np
import pytest

import kelp_sae as ks


def test_fh_area_table_and_sample_match_the_program(data, program):
    areas = data("area_table.csv")
    res = ks.AreaLevel(areas).fh("y", ["x1", "x2", ks.Cat("region", "North")], "area",
                                 variance="var", mse="bootstrap", n_reps=30, batch_size=4,
                                 rstate=11, progress_bar=False)
    assert res.to_dict() == program(
        "fh", "--data", "area_table.csv", "--y", "y", "--area", "area", "--variance", "var",
        "--x", "x1,x2", "--cat", "region:North", "--mse", "bootstrap", "--n-reps", "30",
        "--batch-size", "4", "--seed", "11")

    sample = ks.Sample(data("survey_sample.csv"), weight="weight", strata="stratum", psu="psu")
    res = ks.AreaLevel(sample).fh("income", ["x1", "x2"], ks.RE("area"),
                                  pop_data=data("survey_areas.csv"))
    assert res.to_dict() == program(
        "fh", "--sample", "survey_sample.csv", "--weight", "weight", "--strata", "stratum",
        "--psu", "psu", "--pop-data", "survey_areas.csv", "--y", "income", "--area", "area",
        "--x", "x1,x2")


def test_eblup_matches_the_program(data, program):
    res = ks.UnitLevel(data("unit_sample.csv")).eblup(
        "y", ["x1", "x2", ks.Cat("sector")], "area", data("census.csv"),
        mse="Bootstrap", n_reps=20, batch_size=5, rstate=3, progress_bar=False)
    assert res.to_dict() == program(
        "eblup", "--sample", "unit_sample.csv", "--pop", "census.csv", "--y", "y",
        "--x", "x1,x2", "--cat", "sector", "--area", "area", "--mse", "Bootstrap",
        "--n-reps", "20", "--batch-size", "5", "--seed", "3")


def _ebp(data, **options):
    model = ks.UnitLevel(data("income_sample.csv"))
    return model.ebp("income", ["hh_size", "age", "urban", ks.Cat("gender")], "area",
                     data("income_census.csv"), n_mc=10, n_reps=6, batch_size=2, rstate=7,
                     progress_bar=False, **options)


def test_ebp_with_a_callable_poverty_line_matches_the_program(data, program):
    res = _ebp(data, indicators=(ks.Indicator.MEAN, "Poverty Headcount", ks.Indicator.GINI),
               threshold=lambda y: 0.6 * np.median(y))
    assert res.to_dict() == program(
        "ebp", "--sample", "income_sample.csv", "--pop", "income_census.csv", "--y", "income",
        "--x", "hh_size,age,urban", "--cat", "gender", "--area", "area",
        "--indicators", "mean,headcount,gini", "--threshold-share", "0.6", "--n-mc", "10",
        "--n-reps", "6", "--batch-size", "2", "--seed", "7")


def test_ebp_callable_indicators_and_their_errors(data):
    res = _ebp(data, mse=False, threshold=lambda y: float(np.median(y)),
               indicators=[ks.Indicator.MEAN, ("share_above", lambda v, z: np.mean(v > z)),
                           lambda v, z: float(np.mean(v))])
    preds = res.to_pandas("prediction").pivot(index="area", columns="indicator", values="pred")
    assert list(preds.columns) == ["Mean", "custom_2", "share_above"]
    np.testing.assert_allclose(preds["custom_2"], preds["Mean"], rtol=1e-12)
    assert ((preds["share_above"] > 0) & (preds["share_above"] < 1)).all()

    def broken(values, z):
        raise ZeroDivisionError("inside the indicator")

    with pytest.raises(ZeroDivisionError, match="inside the indicator"):
        _ebp(data, indicators=[("broken", broken)])
    with pytest.raises(LookupError):
        _ebp(data, threshold=lambda y: {}["no line"])
    with pytest.raises(ks.ArgumentTypeError, match="indicators must be a function returning"):
        _ebp(data, mse=False, indicators=lambda v, z: None)


def test_ebp_benchmark_matches_the_program_and_checks_its_targets(data, program):
    res = _ebp(data, transformation="log", indicators=[ks.Indicator.MEAN, "Poverty Headcount"],
               threshold=7000.0, pop_weights="hh_size", benchmark_type="Raking",
               benchmark={"poverty headcount": 0.2, ks.Indicator.MEAN: 30000})
    assert res.to_dict()["transformation"]["benchmark"] == {
        "type": "raking", "source": "explicit",
        "targets": {"Mean": 30000.0, "Poverty Headcount": 0.2}}
    assert res.to_dict() == program(
        "ebp", "--sample", "income_sample.csv", "--pop", "income_census.csv", "--y", "income",
        "--x", "hh_size,age,urban", "--cat", "gender", "--area", "area", "--transformation",
        "log", "--indicators", "mean,headcount", "--threshold", "7000", "--pop-weights",
        "hh_size", "--benchmark", "mean=30000,headcount=0.2", "--benchmark-type", "raking",
        "--n-mc", "10", "--n-reps", "6", "--batch-size", "2", "--seed", "7")
    with pytest.raises(ValueError, match="benchmark 'survey' needs survey weights"):
        _ebp(data, transformation="log", benchmark="survey")
    with pytest.raises(ValueError, match="benchmark keys must be indicators"):
        _ebp(data, transformation="log", benchmark={"theil": 0.3})
    with pytest.raises(ks.ArgumentTypeError, match="benchmark must be a dict"):
        _ebp(data, transformation="log", benchmark=0.3)


def test_two_threads_at_once_give_the_sequential_numbers(data):
    sequential = [_ebp(data).to_dict(), _ebp(data, transformation="log").to_dict()]
    results = [None, None]

    def run(i, **options):
        results[i] = _ebp(data, **options).to_dict()

    threads = [threading.Thread(target=run, args=(0,)),
               threading.Thread(target=run, args=(1,), kwargs={"transformation": "log"})]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == sequential
