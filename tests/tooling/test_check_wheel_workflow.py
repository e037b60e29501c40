"""The on-paper check of the release workflow must catch the mistakes that
would only show on the release runners (`nox -s lint` runs these, after the
check itself passed on the tree as it stands)."""

import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
CHECK = ROOT / "scripts/check_wheel_workflow.py"
WORKFLOW = ".github/workflows/wheels.yml"
FILES = [WORKFLOW, "pyproject.toml", "requirements-lint.txt", "requirements-test.txt"]


def tree_with(tmp_path, file, old, new):
    for name in FILES:
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        shutil.copy(ROOT / name, tmp_path / name)
    text = (tmp_path / file).read_text()
    assert old in text
    (tmp_path / file).write_text(text.replace(old, new, 1))
    return subprocess.run([sys.executable, CHECK, "--root", tmp_path], capture_output=True,
                          text=True, timeout=300)


@pytest.mark.parametrize("file, old, new, said", [
    # An empty CIBW_BUILD is not "unset": cibuildwheel then builds every
    # identifier, the free-threaded ones included.
    (WORKFLOW, '          CIBW_ARCHS: ${{ matrix.archs }}\n      - name: free',
     '          CIBW_ARCHS: ${{ matrix.archs }}\n          CIBW_BUILD: ""\n      - name: free',
     "macOS arm64: builds"),
    # Both steps would run for the experimental entries.
    (WORKFLOW, "if: ${{ matrix.experimental }}", "if: ${{ true || matrix.experimental }}",
     "cannot evaluate"),
    (WORKFLOW, "if: ${{ !matrix.experimental }}", "if: ${{ matrix.archs }}",
     "2 cibuildwheel steps run"),
    (WORKFLOW, "archs: AMD64, experimental: false", "archs: x86, experimental: false",
     "no platform for windows-2022 x86"),
    ("pyproject.toml", '"*-manylinux_*", ', "", "musllinux x86-64: builds"),
    ("requirements-lint.txt", "cibuildwheel==", "cibuildwheel==0.1.0\n# was ",
     "not v0.1.0 of requirements-lint.txt"),
    ("requirements-test.txt", "pytest>=8", "pytest>=9", "differs from requirements-test.txt"),
])
def test_a_wrong_selection_fails(tmp_path, file, old, new, said):
    result = tree_with(tmp_path, file, old, new)
    assert result.returncode != 0
    assert said in result.stderr
