"""Shared fixtures: the example data and the kelp-sae program of the same build."""
import json
import os
import pathlib
import subprocess

import pandas as pd
import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
DATA = ROOT / "examples" / "data"


def _program():
    path = os.path.abspath(
        os.environ.get("KELP_SAE_PROGRAM", str(ROOT / "build" / "app" / "kelp-sae")))
    if not os.access(path, os.X_OK):
        pytest.fail(f"kelp-sae program not found at {path}; set KELP_SAE_PROGRAM")
    return path


@pytest.fixture
def data():
    """Reads an example CSV file as pandas does."""
    return lambda name: pd.read_csv(DATA / name)


@pytest.fixture
def program(tmp_path):
    """Runs kelp-sae with the given arguments; returns its JSON result."""

    def run(*args):
        out = tmp_path / "result.json"
        cmd = [_program(), *args, "--json", str(out), "--quiet"]
        done = subprocess.run(cmd, capture_output=True, text=True, cwd=DATA)
        assert done.returncode == 0, done.stderr
        return json.loads(out.read_text())

    return run
