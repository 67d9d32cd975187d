"""The notebook-style example runs from start to end."""
import runpy

from conftest import ROOT


def test_python_example_runs(capsys):
    scope = runpy.run_path(str(ROOT / "examples" / "python" / "poverty_map.py"))
    assert set(scope["poverty_map"].columns) >= {"Mean", "Gini Coefficient", "above_twice_line"}
    assert "SAE:" in capsys.readouterr().out
