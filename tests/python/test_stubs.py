import os
import pathlib
import subprocess
import sys

import pytest

import kovra_backends

SHIPPED = pathlib.Path(__file__).parents[2] / "cppsrc" / "src" / "bindings" / "kovra_backends.pyi"


def test_shipped_stubs_match_the_module(tmp_path):
    pytest.importorskip("pybind11_stubgen")
    subprocess.run(
        [sys.executable, "-m", "pybind11_stubgen", "kovra_backends", "-o", str(tmp_path)],
        check=True,
        capture_output=True,
        env={**os.environ, "PYTHONPATH": str(pathlib.Path(kovra_backends.__file__).parent)},
    )
    assert (tmp_path / "kovra_backends.pyi").read_text() == SHIPPED.read_text()


def test_stubs_are_installed_beside_the_module():
    installed = pathlib.Path(kovra_backends.__file__).with_name("kovra_backends.pyi")
    if not installed.exists():
        pytest.skip("module not run from an installed wheel")
    assert installed.read_text() == SHIPPED.read_text()
