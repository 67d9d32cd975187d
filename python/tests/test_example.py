"""The notebook-style example runs from start to end."""
import runpy

from conftest import ROOT


def test_python_example_runs(capsys):
    scope = runpy.run_path(str(ROOT / "examples" / "python" / "poverty_map.py"))
    assert set(scope["poverty_map"].columns) >= {"Mean", "Gini Coefficient", "above_twice_line"}
    assert "SAE:" in capsys.readouterr().out


def test_version_entry_point(capsys):
    from kelp_sae.__main__ import main

    main(["--version"])
    main(["-v", "--version"])
    assert capsys.readouterr().out.splitlines() == [
        "kelp-sae version 0.1.0", "Welcome to kelp-sae!",
        "This is the Small Area Estimation package.",
        "Use `python -m kelp_sae --version` for version info."]
