#!/usr/bin/env bash
# Checks the style of the tree: ruff over the Python files (configured in
# pyproject.toml) and clang-format over the C++ files of src/, tests/native/
# and fuzz/ (configured in .clang-format). Fails on any finding and prints
# what to run to fix it.
#
#   bash scripts/check_style.sh [PYTHON]
#
# PYTHON is the interpreter of the virtual environment that has ruff
# installed (from requirements-dev.txt); without it, $VENV/bin/python.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"

python=${1:-${VENV:+$VENV/bin/python}}
if [ -z "$python" ]; then
    echo "usage: bash scripts/check_style.sh PYTHON (or set VENV)" >&2
    exit 2
fi

failed=0

if ! "$python" -m ruff check --quiet .; then
    echo "ruff found problems; to fix what it can: $python -m ruff check --fix ." >&2
    failed=1
fi

patterns=('src/*.cpp' 'src/*.hpp' 'tests/native/*.cpp' 'tests/native/*.hpp' 'fuzz/*.cpp' 'fuzz/*.hpp')
mapfile -t cpp_files < <(git ls-files -- "${patterns[@]}")
if ! clang-format --dry-run --Werror "${cpp_files[@]}"; then
    echo "C++ files are not formatted; to fix: git ls-files -- ${patterns[*]@Q} | xargs clang-format -i" >&2
    failed=1
fi

exit "$failed"
