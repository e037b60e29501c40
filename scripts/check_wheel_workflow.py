"""Checks the release workflow's wheel builds on paper, since no machine of
the project can run them: for each entry of the workflow's matrix, the
cibuildwheel step that runs for it (its `if` evaluated for the entry) and
what cibuildwheel would build there with that step's environment and the
[tool.cibuildwheel] table, against what the entry names (CPython 3.10 to
3.15 for its platform and architecture, or 3.14t alone for an experimental
entry). Also that the action is the cibuildwheel that requirements-lint.txt
pins, and that the wheels' test requirements are those of
requirements-test.txt.

    python scripts/check_wheel_workflow.py [--root TREE]   (`nox -s lint` runs it)
"""

import os
import re
import subprocess
import sys
from pathlib import Path

import tomllib
from ruamel.yaml import YAML

VERSIONS = ["cp310", "cp311", "cp312", "cp313", "cp314", "cp315"]
# A runner's family, cibuildwheel's platform, and the tag of each arch.
PLATFORMS = {
    "macos": ("macos", {"arm64": "macosx_arm64", "x86_64": "macosx_x86_64"}),
    "windows": ("windows", {"AMD64": "win_amd64"}),
    "ubuntu": ("linux", {"x86_64": "musllinux_x86_64", "aarch64": "musllinux_aarch64"}),
}


def applies(condition, entry):
    """A step's `if`: absent, or `matrix.KEY` or `!matrix.KEY`, in ${{ }} or not."""
    if condition is None:
        return True
    expression = str(condition).strip().removeprefix("${{").removesuffix("}}").strip()
    found = re.fullmatch(r"(!?)\s*matrix\.(\w+)", expression)
    if not found or found[2] not in entry:
        raise ValueError(f"cannot evaluate `if: {condition}`")
    return bool(entry[found[2]]) != bool(found[1])


def substitute(value, entry):
    return re.sub(r"\$\{\{\s*matrix\.(\w+)\s*\}\}", lambda m: str(entry[m[1]]), str(value))


def requirement_lines(path):
    return [line.strip() for line in path.read_text().splitlines()
            if line.strip() and not line.startswith(("#", "-r"))]


def check(root):
    """Prints what each entry builds; raises Problem at the first fault."""
    settings = tomllib.loads((root / "pyproject.toml").read_text())["tool"]["cibuildwheel"]
    if settings["test-requires"] != requirement_lines(root / "requirements-test.txt"):
        raise Problem("test-requires of [tool.cibuildwheel] differs from requirements-test.txt")
    pin = next(line.split("==")[1] for line in requirement_lines(root / "requirements-lint.txt")
               if line.startswith("cibuildwheel=="))
    workflow = YAML(typ="safe").load((root / ".github/workflows/wheels.yml").read_text())
    entries = [(job, entry) for job in workflow["jobs"].values()
               for entry in job["strategy"]["matrix"]["include"]]
    if not entries:
        raise Problem("the workflow has no matrix entries")
    for job, entry in entries:
        name, family = entry["name"], entry["os"].split("-")[0]
        if family not in PLATFORMS or entry["archs"] not in PLATFORMS[family][1]:
            raise Problem(f"{name}: no platform for {entry['os']} {entry['archs']}")
        platform, tags = PLATFORMS[family]
        try:
            steps = [step for step in job["steps"]
                     if str(step.get("uses", "")).startswith("pypa/cibuildwheel@")
                     and applies(step.get("if"), entry)]
        except ValueError as error:
            raise Problem(f"{name}: {error}") from None
        if len(steps) != 1:
            raise Problem(f"{name}: {len(steps)} cibuildwheel steps run, not one")
        if steps[0]["uses"] != f"pypa/cibuildwheel@v{pin}":
            raise Problem(f"{name}: {steps[0]['uses']}, not v{pin} of requirements-lint.txt")
        env = {key: substitute(value, entry) for key, value in steps[0].get("env", {}).items()}
        built = subprocess.run(
            [sys.executable, "-m", "cibuildwheel", "--print-build-identifiers",
             "--platform", platform],
            cwd=root, env={**os.environ, **env}, capture_output=True, text=True, check=True,
        ).stdout.split()
        versions = ["cp314t"] if entry["experimental"] else VERSIONS
        wanted = [f"{version}-{tags[entry['archs']]}" for version in versions]
        if sorted(built) != sorted(wanted):
            raise Problem(f"{name}: builds {built}, not {wanted}")
        print(f"{name}: {' '.join(built)}")


class Problem(Exception):
    pass


if __name__ == "__main__":
    tree = Path(__file__).resolve().parent.parent
    if sys.argv[1:2] == ["--root"]:
        tree = Path(sys.argv[2])
    try:
        check(tree)
    except Problem as problem:
        sys.exit(f"error: {problem}")
