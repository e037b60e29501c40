#!/usr/bin/env bash
# Hardening runs that are too slow or too special for every CI run:
#
#   bash scripts/hardening.sh sanitize [pytest args]
#       Builds the extension with AddressSanitizer and UBSan into
#       build/sanitize and runs the whole Python suite against that copy,
#       with the ASan runtime preloaded and PYTHONMALLOC=malloc. Any report
#       fails the run.
#   bash scripts/hardening.sh valgrind [pytest args]
#       Builds an unoptimised copy with debug information into
#       build/valgrind and runs the Python suite under valgrind memcheck
#       with PYTHONMALLOC=malloc. Fails on any invalid read or write and on
#       any definite leak whose stack passes through the module.
#   bash scripts/hardening.sh long-differential [total]
#       Runs the differential tests against the pure-Python model until at
#       least `total` examples (default 1000000) have passed, in rounds of
#       fresh processes with distinct seeds, on every core.
#   bash scripts/hardening.sh atheris [seconds]
#       Fuzzes the Python surface with atheris (coverage-guided, libFuzzer
#       engine) for `seconds` (default 300), against the sanitized copy.
#
# Every command expects the development environment of scripts/run.sh
# (bash scripts/run.sh setup) and uses its interpreter.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"

PYTHON_VERSION=${PYTHON_VERSION:-3.10}
# The development environment of that interpreter (nox -s tests-X.Y).
VENV="$ROOT/.nox/tests-${PYTHON_VERSION//./-}"
PYTHON="$VENV/bin/python"
JOBS=${JOBS:-$(nproc 2>/dev/null || echo 2)}

log() { printf '\n== %s\n' "$*" >&2; }
die() { printf 'error: %s\n' "$*" >&2; exit 1; }

require_venv() {
    [ -x "$PYTHON" ] || die "no $PYTHON; run 'bash scripts/run.sh setup' first"
}

# Configures and builds the extension alone into build/<name>, then
# installs it (the module and its type stubs) into build/<name>/target,
# from where it goes into a virtual environment of its own (or first on
# PYTHONPATH), shadowing the copy of the development environment.
build_copy() {
    local name=$1
    shift
    local dir="$ROOT/build/$name"
    log "building the extension into build/$name"
    cmake -S . -B "$dir" -G Ninja -DPython_EXECUTABLE="$PYTHON" -DFRASOLET_BUILD_EXTENSION=ON \
        "$@" >/dev/null
    cmake --build "$dir" -j "$JOBS"
    rm -rf "$dir/target"
    cmake --install "$dir" --prefix "$dir/target" >/dev/null
}

# A virtual environment of its own for the copy in build/<name>/target: the
# copy goes into its site-packages, and a path file makes the development
# environment's packages (pytest, hypothesis, ...) visible behind it. Prints
# the environment's interpreter. No PYTHONPATH is needed, so processes that
# the tests start see an ordinary interpreter.
make_copy_venv() {
    local name=$1
    local dir="$ROOT/build/$name/venv"
    [ -x "$dir/bin/python" ] || "$("$PYTHON" -c 'import sys; print(sys._base_executable)')" \
        -m venv "$dir" >&2
    local site dev_site
    site=$("$dir/bin/python" -c 'import sysconfig; print(sysconfig.get_path("purelib"))')
    dev_site=$("$PYTHON" -c 'import sysconfig; print(sysconfig.get_path("purelib"))')
    rm -rf "$site"/frasolet*
    cp -r "$ROOT/build/$name/target/." "$site/"
    echo "$dev_site" >"$site/zz-development-packages.pth"
    # The oldest supported mypy, which the typing tests look for beside the
    # environment (run.sh installs it into the development one).
    if [ -d "$VENV/mypy-minimum" ]; then ln -sfn "$VENV/mypy-minimum" "$dir/mypy-minimum"; fi
    echo "$dir/bin/python"
}

# Checks that the interpreter picks up the copy in the given directory.
check_module_from() {
    local target=$1
    shift
    "$@" -c '
import sys, frasolet
where = frasolet.__file__
assert where.startswith(sys.argv[1]), where
print("module under test:", where)' "$target"
}

# What to preload for a module built with ASan: the runtime first, and the
# C++ runtime too, since the interpreter does not link it and ASan must
# find the real __cxa_throw when it starts.
asan_preload() {
    local cxx=$1 runtime=$2 cxxlib
    cxxlib=$("$cxx" -print-file-name=libstdc++.so)
    if [ -f "$cxxlib" ]; then
        echo "$runtime:$(readlink -f "$cxxlib")"
    else
        echo "$runtime"
    fi
}

sanitize() {
    require_venv
    local cxx=${SANITIZE_CXX:-g++}
    local runtime
    case "$cxx" in
        *clang*) runtime=$("$cxx" -print-file-name=libclang_rt.asan-x86_64.so) ;;
        *) runtime=$("$cxx" -print-file-name=libasan.so) ;;
    esac
    [ -f "$runtime" ] || die "no ASan runtime found for $cxx (got '$runtime')"
    local preload
    preload=$(asan_preload "$cxx" "$runtime")
    build_copy sanitize -DCMAKE_CXX_COMPILER="$cxx" -DFRASOLET_SANITIZE=ON \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo

    local python
    python=$(make_copy_venv sanitize)
    local reports="$ROOT/build/sanitize/reports"
    rm -rf "$reports"
    mkdir -p "$reports"
    # The interpreter itself is not instrumented and keeps objects alive to
    # the end of the process, so leak checking is off here; valgrind covers
    # leaks. Every report goes to its own file, child processes included.
    export ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:abort_on_error=0:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1:log_path=$reports/asan"
    export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan"
    export PYTHONMALLOC=malloc
    export LD_PRELOAD="$preload"
    check_module_from "$(dirname "$(dirname "$python")")" "$python"

    log "Python suite against the sanitized module ($cxx, LD_PRELOAD=$preload)"
    local status=0
    "$python" -m pytest tests/python -q -p no:cacheprovider "$@" || status=$?
    unset LD_PRELOAD
    if compgen -G "$reports/*" >/dev/null; then
        log "sanitizer reports"
        cat "$reports"/* >&2
        die "the sanitizers reported errors (see $reports)"
    fi
    log "no sanitizer report"
    return "$status"
}

valgrind_run() {
    require_venv
    command -v valgrind >/dev/null || die "valgrind is not installed"
    build_copy valgrind -DCMAKE_BUILD_TYPE=Debug
    local python
    python=$(make_copy_venv valgrind)
    local logs="$ROOT/build/valgrind/logs"
    rm -rf "$logs"
    mkdir -p "$logs"
    export PYTHONMALLOC=malloc
    check_module_from "$(dirname "$(dirname "$python")")" "$python"
    # Hypothesis tests run fewer examples: every one costs ~50 times more.
    export FRASOLET_HYPOTHESIS_EXAMPLES=${FRASOLET_HYPOTHESIS_EXAMPLES:-25}
    export FRASOLET_STATEFUL_EXAMPLES=${FRASOLET_STATEFUL_EXAMPLES:-10}

    log "Python suite under valgrind memcheck"
    local status=0
    valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite \
        --errors-for-leak-kinds=none --num-callers=50 --trace-children=no \
        --suppressions="$ROOT/scripts/valgrind-python.supp" \
        --log-file="$logs/memcheck.%p" \
        "$python" -m pytest tests/python -q -p no:cacheprovider "$@" || status=$?
    "$PYTHON" - "$logs" <<'EOF' || status=1
import pathlib
import re
import sys

# Reads the memcheck logs: every error and every definite leak, and which
# of them have a frame in the module.
MODULE = re.compile(r"frasolet|/src/(binding|fragment|module|parser|template)/")
errors = leaks = module_errors = module_leaks = 0
for path in sorted(pathlib.Path(sys.argv[1]).glob("memcheck.*")):
    text = path.read_text(errors="replace")
    blocks = re.split(r"\n==\d+== \n", text)
    for block in blocks:
        lines = [re.sub(r"^==\d+== ", "", line) for line in block.splitlines()]
        if not lines:
            continue
        head = next((line for line in lines if line.strip()), "")
        ours = any(MODULE.search(line) for line in lines if re.match(r"\s+(at|by) ", line))
        if re.match(r"(Invalid (read|write|free)|Mismatched free|Conditional jump|"
                     r"Use of uninitialised|Syscall param|Source and destination overlap)", head):
            errors += 1
            module_errors += ours
            if ours or head.startswith("Invalid"):
                print(f"{path.name}:\n" + "\n".join(lines) + "\n")
        elif "definitely lost in loss record" in head:
            leaks += 1
            module_leaks += ours
            if ours:
                print(f"{path.name}:\n" + "\n".join(lines) + "\n")
    summary = re.findall(r"ERROR SUMMARY: .*", text)
    if summary:
        print(f"{path.name}: {summary[-1]}")
print(f"memory errors: {errors} ({module_errors} through the module); "
      f"definite leaks: {leaks} ({module_leaks} through the module)")
invalid = sum(1 for p in pathlib.Path(sys.argv[1]).glob("memcheck.*")
              for m in re.finditer(r"Invalid (read|write|free)", p.read_text(errors="replace")))
sys.exit(1 if (module_errors or module_leaks or invalid) else 0)
EOF
    return "$status"
}

long_differential() {
    require_venv
    local total=${1:-1000000}
    local per_round=${ROUND_EXAMPLES:-25000}
    local tests
    mapfile -t tests < <(cd tests/python && grep -o '^def test_[a-z_]*' test_differential.py |
        sed 's/^def //')
    local count=${#tests[@]}
    [ "$count" -gt 0 ] || die "no differential tests found"
    local rounds=$(( (total + per_round * count - 1) / (per_round * count) ))
    local logs="$ROOT/build/long-differential"
    rm -rf "$logs"
    mkdir -p "$logs"
    log "$rounds rounds x $count tests x $per_round examples on $JOBS processes"
    local start=$SECONDS
    local round
    run_round() {
        FRASOLET_HYPOTHESIS_EXAMPLES=$per_round "$PYTHON" -m pytest \
            tests/python/test_differential.py -q -p no:cacheprovider \
            --hypothesis-seed="$1" --hypothesis-show-statistics >"$logs/round-$1.log" 2>&1
    }
    export -f run_round
    export PYTHON per_round logs
    local status=0
    seq 1 "$rounds" | xargs -P "$JOBS" -I{} bash -c 'run_round {} || { echo "round {} failed: see '"$logs"'/round-{}.log" >&2; exit 255; }' || status=$?
    local passed
    passed=$(cat "$logs"/round-*.log | grep -o '[0-9]* passing' | awk '{s += $1} END {print s + 0}')
    log "differential examples passed: $passed in $((SECONDS - start)) s"
    [ "$status" -eq 0 ] || die "a round failed"
    [ "$passed" -ge "$total" ] || die "only $passed of $total examples ran"
}

atheris_run() {
    require_venv
    local seconds=${1:-300}
    shift || true
    "$PYTHON" -c 'import atheris' 2>/dev/null ||
        die "atheris is not installed in $VENV (pip install 'atheris==2.3.0')"
    local corpus="$ROOT/fuzz/corpus/python_surface"
    mkdir -p "$corpus" "$ROOT/fuzz/artifacts"

    # 1. Fuzz against an uninstrumented copy built with g++. The guidance
    # comes from the Python code atheris instruments: the model, whose
    # branches follow the module's rules one for one. (The sources now build
    # with clang too; `bash scripts/run.sh test` runs atheris against a clang
    # build with ASan and native libFuzzer coverage, see atheris_smoke there.)
    build_copy fuzz-plain -DCMAKE_BUILD_TYPE=RelWithDebInfo
    log "fuzzing the Python surface for $seconds s"
    PYTHONPATH="$ROOT/build/fuzz-plain/target" "$PYTHON" fuzz/python_surface_fuzzer.py \
        -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix="$ROOT/fuzz/artifacts/" "$@" "$corpus" fuzz/seeds

    # 2. Replay everything the fuzzer kept against the ASan+UBSan copy.
    local cxx=${SANITIZE_CXX:-g++}
    local runtime
    case "$cxx" in
        *clang*) runtime=$("$cxx" -print-file-name=libclang_rt.asan-x86_64.so) ;;
        *) runtime=$("$cxx" -print-file-name=libasan.so) ;;
    esac
    [ -f "$runtime" ] || die "no ASan runtime found for $cxx (got '$runtime')"
    build_copy sanitize -DCMAKE_CXX_COMPILER="$cxx" -DFRASOLET_SANITIZE=ON \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo
    local inputs
    inputs=$(find "$corpus" fuzz/seeds -type f | wc -l)
    log "replaying $inputs inputs against the sanitized module"
    ASAN_OPTIONS="detect_leaks=0:halt_on_error=1" \
        UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" PYTHONMALLOC=malloc \
        PYTHONPATH="$ROOT/build/sanitize/target" LD_PRELOAD="$(asan_preload "$cxx" "$runtime")" \
        "$PYTHON" fuzz/python_surface_fuzzer.py -runs=0 \
        -artifact_prefix="$ROOT/fuzz/artifacts/" "$corpus" fuzz/seeds 2>&1 |
        grep -v "^WARNING: Coverage symbols\|^You can likely resolve" || true
    [ "${PIPESTATUS[0]}" -eq 0 ] || die "the replay under the sanitizers failed"
}

command=${1:-}
shift || true
case "$command" in
    sanitize) sanitize "$@" ;;
    valgrind) valgrind_run "$@" ;;
    long-differential) long_differential "$@" ;;
    atheris) atheris_run "$@" ;;
    *)
        echo "usage: bash scripts/hardening.sh {sanitize|valgrind|long-differential [total]|atheris [seconds]} [args]" >&2
        exit 2
        ;;
esac
