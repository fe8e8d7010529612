import importlib.util
import pathlib
import subprocess
import sys

import pytest

import corvane

pytestmark = pytest.mark.skipif(
    importlib.util.find_spec("mypy") is None, reason="mypy is not installed"
)


def test_stubs_match_the_installed_package():
    package = pathlib.Path(corvane.__file__).parent
    assert (package / "py.typed").is_file()
    checked = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "corvane"],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert checked.returncode == 0, checked.stdout + checked.stderr
