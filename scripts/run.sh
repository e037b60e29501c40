#!/usr/bin/env bash
# One entry point for every developer task. Each command does its own set-up
# (system packages, the virtual environment, the build) so that it works on a
# fresh clone:
#
#   bash scripts/run.sh demo      build, then run the quickstart example
#   bash scripts/run.sh test      build, then run every test: the native unit
#                                 tests, a fuzz smoke run, and the Python suite
#                                 on CPython 3.10 (the reference) and 3.13
#   bash scripts/run.sh matrix    the same with the Python suite on 3.10 to 3.13
#   bash scripts/run.sh fuzz [S]  run the libFuzzer target of the parser for S seconds (default 60)
#   bash scripts/run.sh setup     only set up and build
#
# PYTHON_VERSION picks the interpreter of demo and setup (default 3.10);
# TEST_PYTHON_VERSIONS the interpreters of test. Interpreters are found
# through pyenv or as pythonX.Y on PATH. Extra arguments of test and matrix
# go to pytest.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"

use_python() {
    PYTHON_VERSION=$1
    VENV="$ROOT/.venv/py$PYTHON_VERSION"
}
use_python "${PYTHON_VERSION:-3.10}"
JOBS=$(nproc 2>/dev/null || echo 2)
APT_PACKAGES=(cmake g++ libgtest-dev clang libclang-rt-14-dev valgrind clang-format)

log() { printf '\n== %s\n' "$*" >&2; }

ensure_system_packages() {
    local missing=()
    for package in "${APT_PACKAGES[@]}"; do
        dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return
    log "installing system packages: ${missing[*]}"
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    "${sudo[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
}

find_python() {
    local name="python$PYTHON_VERSION"
    if command -v pyenv >/dev/null 2>&1; then
        local version
        version=$(pyenv versions --bare 2>/dev/null | grep -E "^${PYTHON_VERSION//./\\.}(\.[0-9]+)?$" | sort -V | tail -n 1 || true)
        if [ -n "$version" ] && [ -x "$(pyenv prefix "$version")/bin/$name" ]; then
            echo "$(pyenv prefix "$version")/bin/$name"
            return
        fi
    fi
    if command -v "$name" >/dev/null 2>&1 && "$name" -c 'pass' 2>/dev/null; then
        command -v "$name"
        return
    fi
    echo "error: no $name found on PATH or through pyenv" >&2
    exit 1
}

ensure_venv() {
    if [ ! -x "$VENV/bin/python" ]; then
        log "creating the virtual environment $VENV"
        "$(find_python)" -m venv "$VENV"
    fi
    local stamp="$VENV/.requirements-installed"
    if [ ! -f "$stamp" ] || [ requirements-dev.txt -nt "$stamp" ]; then
        log "installing Python packages"
        "$VENV/bin/python" -m pip install -q --upgrade pip
        "$VENV/bin/python" -m pip install -q -r requirements-dev.txt
        touch "$stamp"
    fi
}

build_extension() {
    ensure_venv
    log "building and installing the extension for Python $PYTHON_VERSION"
    "$VENV/bin/python" -m pip install -q --no-build-isolation --no-deps --force-reinstall .
}

setup() {
    ensure_system_packages
    build_extension
}

check_layers() {
    log "include arrows between the layers of src/"
    python3 scripts/check_layers.py
}

check_style() {
    ensure_venv
    log "style: ruff and clang-format"
    bash scripts/check_style.sh "$VENV/bin/python"
}

native_tests() {
    log "native unit tests"
    cmake -S . -B build/native -DFRASOLET_BUILD_EXTENSION=OFF -DFRASOLET_BUILD_TESTS=ON \
        -DCMAKE_BUILD_TYPE=Debug >/dev/null
    cmake --build build/native -j "$JOBS"
    ctest --test-dir build/native --output-on-failure
}

build_fuzzers() {
    cmake -S . -B build/fuzz -DFRASOLET_BUILD_EXTENSION=OFF -DFRASOLET_BUILD_FUZZERS=ON \
        -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build build/fuzz -j "$JOBS"
}

run_fuzzer() {
    local seconds=$1
    build_fuzzers
    mkdir -p fuzz/corpus/parse_template fuzz/artifacts
    log "fuzzing parse_template for $seconds s"
    build/fuzz/fuzz/parse_template_fuzzer -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix=fuzz/artifacts/ fuzz/corpus/parse_template fuzz/seeds
}

python_tests() {
    log "Python tests on CPython $PYTHON_VERSION"
    "$VENV/bin/python" -m pytest -q "$@"
}

# Builds and runs the Python suite on each version in turn, going on after
# a failure, then prints one line per version. Fails if any version failed.
python_suites() {
    local versions=$1
    shift
    local failed=0 version summaries=()
    for version in $versions; do
        local output="build/pytest-py$version.log" status=ok
        mkdir -p build
        # A process of its own, so that `set -e` holds inside it.
        if ! PYTHON_VERSION=$version bash "$ROOT/scripts/run.sh" pytest "$@" 2>&1 | tee "$output"; then
            status=FAILED
            failed=1
        fi
        summaries+=("CPython $version: $status, $(grep -E '[0-9]+ (passed|failed)' "$output" | tail -n 1 || true)")
    done
    log "Python suites"
    printf '%s\n' "${summaries[@]}"
    return "$failed"
}

command=${1:-test}
shift || true
case "$command" in
    setup) setup ;;
    pytest)
        # One interpreter's Python suite (used by test and matrix).
        build_extension
        python_tests "$@"
        ;;
    demo)
        setup
        "$VENV/bin/python" examples/quickstart.py
        ;;
    test | matrix)
        default_versions="3.10 3.13"
        [ "$command" = matrix ] && default_versions="3.10 3.11 3.12 3.13"
        ensure_system_packages
        check_layers
        check_style
        native_tests
        run_fuzzer "${FUZZ_SECONDS:-15}"
        python_suites "${TEST_PYTHON_VERSIONS:-$default_versions}" "$@"
        ;;
    fuzz)
        ensure_system_packages
        run_fuzzer "${1:-60}"
        ;;
    *)
        echo "usage: bash scripts/run.sh {setup|demo|test|matrix|fuzz [seconds]}" >&2
        exit 2
        ;;
esac
