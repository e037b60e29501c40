"""Checks the release workflow's wheel builds on paper, since no machine of
the project can run them: for each entry of the workflow's matrix, the
cibuildwheel step that runs for it (its `if` evaluated for the entry) and
what cibuildwheel would build there with that step's environment and the
[tool.cibuildwheel] table, against what the entry names (CPython 3.10 to
3.15 for its platform and architecture, or 3.14t alone for an experimental
entry). Also that the action is the cibuildwheel that requirements-lint.txt
pins, and that the wheels' test requirements are those of
requirements-test.txt.

    python scripts/check_wheel_workflow.py      (`nox -s lint` runs it)
"""

import os
import re
import subprocess
import sys
from pathlib import Path

import tomllib
from ruamel.yaml import YAML

ROOT = Path(__file__).resolve().parent.parent
WORKFLOW = ROOT / ".github/workflows/wheels.yml"
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
    negated = expression.startswith("!")
    key = expression.lstrip("!").strip().removeprefix("matrix.")
    return bool(entry[key]) != negated


def substitute(value, entry):
    return re.sub(r"\$\{\{\s*matrix\.(\w+)\s*\}\}", lambda m: str(entry[m[1]]), str(value))


def requirement_lines(path):
    return [line.strip() for line in path.read_text().splitlines()
            if line.strip() and not line.startswith(("#", "-r"))]


def main():
    problems = []
    pin = next(line.split("==")[1] for line in requirement_lines(ROOT / "requirements-lint.txt")
               if line.startswith("cibuildwheel=="))
    workflow = YAML(typ="safe").load(WORKFLOW.read_text())
    entries = 0
    for job in workflow["jobs"].values():
        for entry in job["strategy"]["matrix"]["include"]:
            entries += 1
            family = entry["os"].split("-")[0]
            if family not in PLATFORMS or entry["archs"] not in PLATFORMS[family][1]:
                problems.append(f"{entry['name']}: no platform for {entry['os']} {entry['archs']}")
                continue
            platform, tags = PLATFORMS[family]
            steps = [step for step in job["steps"]
                     if str(step.get("uses", "")).startswith("pypa/cibuildwheel@")
                     and applies(step.get("if"), entry)]
            if len(steps) != 1:
                problems.append(f"{entry['name']}: {len(steps)} cibuildwheel steps run, not one")
                continue
            if steps[0]["uses"] != f"pypa/cibuildwheel@v{pin}":
                problems.append(f"{entry['name']}: {steps[0]['uses']}, not v{pin} of "
                                "requirements-lint.txt")
            env = {key: substitute(value, entry) for key, value in steps[0].get("env", {}).items()}
            built = subprocess.run(
                [sys.executable, "-m", "cibuildwheel", "--print-build-identifiers",
                 "--platform", platform],
                cwd=ROOT, env={**os.environ, **env}, capture_output=True, text=True, check=True,
            ).stdout.split()
            versions = ["cp314t"] if entry["experimental"] else VERSIONS
            wanted = [f"{version}-{tags[entry['archs']]}" for version in versions]
            if sorted(built) != sorted(wanted):
                problems.append(f"{entry['name']}: builds {built}, not {wanted}")
            print(f"{entry['name']}: {' '.join(built)}")
    if not entries:
        problems.append(f"{WORKFLOW.name} has no matrix entries")
    settings = tomllib.loads((ROOT / "pyproject.toml").read_text())["tool"]["cibuildwheel"]
    if settings["test-requires"] != requirement_lines(ROOT / "requirements-test.txt"):
        problems.append("test-requires of [tool.cibuildwheel] differs from requirements-test.txt")
    for problem in problems:
        print(f"error: {problem}", file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
