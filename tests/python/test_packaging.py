"""The distributions: an sdist that builds in isolation, a wheel that installs.

One isolated build (sdist, then the wheel from that sdist, with the build
requirements fetched from the package index) serves every test here. It
takes about half a minute; deselect with -m "not packaging" for quick runs.
"""

import importlib.metadata
import re
import shutil
import subprocess
import sys
import sysconfig
import tarfile
import zipfile
from pathlib import Path

import pytest

import frasolet

pytestmark = pytest.mark.packaging

ROOT = Path(__file__).resolve().parents[2]
BUILD_TIMEOUT = 900
STEP_TIMEOUT = 180


def run(command, **kwargs):
    result = subprocess.run(command, capture_output=True, text=True, timeout=STEP_TIMEOUT, **kwargs)
    assert result.returncode == 0, f"{command}\n{result.stdout}\n{result.stderr}"
    return result


@pytest.fixture(scope="module")
def dist(tmp_path_factory):
    outdir = tmp_path_factory.mktemp("dist")
    result = subprocess.run(
        [sys.executable, "-m", "build", "--outdir", str(outdir), str(ROOT)],
        capture_output=True,
        text=True,
        timeout=BUILD_TIMEOUT,
    )
    assert result.returncode == 0, result.stdout[-4000:] + result.stderr[-4000:]
    (sdist,) = outdir.glob("frasolet-*.tar.gz")
    (wheel,) = outdir.glob("frasolet-*.whl")
    return sdist, wheel


@pytest.fixture(scope="module")
def venv(dist, tmp_path_factory):
    """A fresh virtual environment with nothing but the wheel installed."""
    _, wheel = dist
    directory = tmp_path_factory.mktemp("venv") / "env"
    run([sys.executable, "-m", "venv", str(directory)])
    python = directory / "bin" / "python"
    run([str(python), "-m", "pip", "install", "--no-index", "--no-deps", "-q", str(wheel)])
    return python


def test_metadata_version_is_the_module_version():
    assert importlib.metadata.version("frasolet") == frasolet.__version__


def test_sdist_holds_what_the_build_needs(dist):
    sdist, _ = dist
    with tarfile.open(sdist) as archive:
        names = {name.split("/", 1)[1] for name in archive.getnames() if "/" in name}
    sources = set(re.findall(r"\b(?:src|tests/native|fuzz)/[\w/]+\.cpp\b",
                             (ROOT / "CMakeLists.txt").read_text()))
    assert sources, "no sources named in CMakeLists.txt"
    required = {"pyproject.toml", "CMakeLists.txt", "README.md", "frasolet.pyi", "py.typed", "PKG-INFO",
                "LICENSE"}
    assert required | sources <= names
    headers = {str(path.relative_to(ROOT)) for path in (ROOT / "src").rglob("*.hpp")}
    assert headers <= names
    assert not [name for name in names if re.match(r"(build|dist|\.venv[^/]*|\.git)/", name)]


def test_wheel_contents(dist):
    _, wheel = dist
    tag = sysconfig.get_config_var("EXT_SUFFIX")
    with zipfile.ZipFile(wheel) as archive:
        names = set(archive.namelist())
        metadata = archive.read(f"frasolet-{frasolet.__version__}.dist-info/METADATA").decode()
    payload = {name for name in names if ".dist-info/" not in name}
    assert f"frasolet-{frasolet.__version__}.dist-info/licenses/LICENSE" in names
    assert payload == {
        f"frasolet{tag}",
        "frasolet.pyi",
        "frasolet-stubs/__init__.pyi",
        "frasolet-stubs/py.typed",
    }
    assert f"\nVersion: {frasolet.__version__}\n" in metadata
    assert "\nRequires-Python: >=3.10\n" in metadata
    assert_licence_and_classifiers(metadata)
    interpreter = f"cp{sys.version_info.major}{sys.version_info.minor}"
    assert re.fullmatch(rf"frasolet-{re.escape(frasolet.__version__)}-{interpreter}-{interpreter}-.+\.whl",
                        wheel.name)


def assert_licence_and_classifiers(metadata):
    # PEP 639: the SPDX expression and the licence file; no "License ::"
    # classifier, which the metadata tooling refuses beside an expression.
    assert "\nLicense-Expression: MIT\n" in metadata
    assert "\nLicense-File: LICENSE\n" in metadata
    classifiers = set(re.findall(r"^Classifier: (.+)$", metadata, re.M))
    assert {f"Programming Language :: Python :: 3.{minor}" for minor in range(10, 16)} <= classifiers
    assert {"Typing :: Typed", "Operating System :: POSIX :: Linux"} <= classifiers
    assert not [c for c in classifiers if c.startswith("License ::")]
    assert "MIT License" in (ROOT / "LICENSE").read_text()


def test_sdist_metadata(dist):
    sdist, _ = dist
    with tarfile.open(sdist) as archive:
        (pkg_info,) = [m for m in archive.getmembers() if m.name.count("/") == 1 and m.name.endswith("/PKG-INFO")]
        assert_licence_and_classifiers(archive.extractfile(pkg_info).read().decode())


def test_plain_build_leaves_the_tree_clean_and_keeps_warnings_warnings(tmp_path):
    # What a user's `pip install .` does, on a copy of the tracked files: the
    # build happens in a temporary directory (no build/ in the tree), and
    # compiles with -Wall -Wextra but without -Werror.
    files = subprocess.run(["git", "ls-files", "-z"], cwd=ROOT, capture_output=True,
                           timeout=STEP_TIMEOUT)
    if files.returncode != 0:
        pytest.skip("not a git checkout")
    tree = tmp_path / "tree"
    for name in files.stdout.decode().split("\0"):
        if name and (ROOT / name).is_file():
            (tree / name).parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(ROOT / name, tree / name)
    before = sorted(path.relative_to(tree) for path in tree.rglob("*"))
    result = subprocess.run(
        [sys.executable, "-m", "pip", "wheel", "--no-deps", "--no-build-isolation", "-v",
         "--config-settings=build.verbose=true", "--wheel-dir", str(tmp_path / "wheel"), "."],
        cwd=tree, capture_output=True, text=True, timeout=BUILD_TIMEOUT,
    )
    assert result.returncode == 0, result.stdout[-4000:] + result.stderr[-4000:]
    after = sorted(path.relative_to(tree) for path in tree.rglob("*"))
    assert after == before
    output = result.stdout + result.stderr
    compiles = [line for line in output.splitlines() if " -c " in line and "prompt_fragment.cpp" in line]
    assert compiles, output[-4000:]
    assert all("-Wall" in line and "-Wextra" in line and "-Werror" not in line for line in compiles), compiles


def test_quickstart_runs_from_the_fresh_venv(venv, tmp_path):
    result = run([str(venv), str(ROOT / "examples" / "quickstart.py")], cwd=tmp_path)
    assert result.stderr == ""
    assert result.stdout.startswith(f"frasolet {frasolet.__version__}\n")
    where = run([str(venv), "-c", "import frasolet; print(frasolet.__file__)"], cwd=tmp_path)
    assert Path(where.stdout.strip()).is_relative_to(venv.parent.parent)


def test_fresh_venv_metadata(venv, tmp_path):
    result = run(
        [str(venv), "-c",
         "import importlib.metadata, frasolet;"
         "print(importlib.metadata.version('frasolet'), frasolet.__version__)"],
        cwd=tmp_path,
    )
    assert result.stdout.split() == [frasolet.__version__] * 2


def test_type_checkers_find_the_wheels_stub(venv, tmp_path):
    (tmp_path / "use.py").write_text("import frasolet\nreveal_type(frasolet.parse('a'))\n")
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental",
         "--python-executable", str(venv), "use.py"],
        cwd=tmp_path, capture_output=True, text=True, timeout=STEP_TIMEOUT,
    )
    assert result.returncode == 0, result.stdout + result.stderr
    assert re.search(r'Revealed type is "(builtins\.)?list\[frasolet\.PromptFragment\]"', result.stdout)
