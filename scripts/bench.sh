#!/usr/bin/env bash
# The benchmark suite, in one command:
#
#   bash scripts/bench.sh [--quick] [--no-callgrind] [--only WORKLOAD]...
#
# Builds and installs the extension into the project's virtual environment
# (bash scripts/run.sh setup), then runs, on that interpreter (CPython 3.10
# unless PYTHON_VERSION says otherwise):
#
#   bench/run.py        timings of frasolet against its competitors in the same
#                       process: a table, then the goals, and JSON lines
#                       (prefixed "JSON ") for every measurement;
#   bench/callgrind.py  instruction counts per call under valgrind for every
#                       workload, and the cost of reading both fields per
#                       fragment (skipped with --no-callgrind; --only applies).
#
# The JSON lines also go to build/bench/timings.jsonl and
# build/bench/instructions.jsonl.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"

PYTHON_VERSION=${PYTHON_VERSION:-3.10}
PYTHON="$ROOT/.nox/tests-${PYTHON_VERSION//./-}/bin/python"

callgrind=1
run_args=()
callgrind_args=()
previous=
for argument in "$@"; do
    [ "$previous" = --only ] && callgrind_args+=(--workload "$argument")
    previous=$argument
    case "$argument" in
        --no-callgrind) callgrind=0 ;;
        -h|--help)
            sed -n '2,18p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'
            exit 0
            ;;
        *) run_args+=("$argument") ;;
    esac
done

bash scripts/run.sh setup
mkdir -p build/bench

printf '\n== timings (bench/run.py)\n' >&2
"$PYTHON" bench/run.py --json build/bench/timings.jsonl "${run_args[@]+"${run_args[@]}"}"

if [ "$callgrind" -eq 1 ]; then
    printf '\n== instruction counts (bench/callgrind.py)\n' >&2
    "$PYTHON" bench/callgrind.py --json build/bench/instructions.jsonl \
        "${callgrind_args[@]+"${callgrind_args[@]}"}"
fi
