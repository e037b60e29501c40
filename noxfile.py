"""The developer tasks of frasolet, one nox session each; `bash scripts/run.sh`
prepares the machine first, and the test command is the session `test`."""

# `bash scripts/run.sh COMMAND` installs the Debian packages, the interpreters
# pyenv lacks, the arm64 interpreters and nox itself, then runs nox; with that
# done once, `nox -s NAME` runs any session directly. Every session reuses its
# environment under .nox/ and reinstalls only when a requirements file it
# reads has changed. `test` runs the other sessions side by side, one line
# each, with every session's output in its log under build/logs.

from __future__ import annotations

import fcntl
import glob
import hashlib
import logging
import os
import re
import resource
import shlex
import shutil
import subprocess
import sys
import time
import zipfile
from pathlib import Path

import nox

ROOT = Path(__file__).resolve().parent
PYTHONS = ["3.10", "3.11", "3.12", "3.13", "3.14", "3.15"]
REFERENCE, NEWEST = PYTHONS[0], PYTHONS[-1]
# The versions with a Debian arm64 interpreter to try a wheel on.
AARCH64_PYTHONS = ["3.11", "3.13", "3.14", "3.15"]
WERROR = "--config-settings=cmake.define.FRASOLET_WERROR=ON"
TOOLCHAIN = ROOT / "cmake/toolchains/aarch64-linux-gnu.cmake"
LOGS = ROOT / "build/logs"
JOBS = str(os.cpu_count() or 2)

nox.options.default_venv_backend = "venv"
nox.options.reuse_venv = "yes"
nox.options.download_python = "never"
nox.options.error_on_missing_interpreters = True
nox.options.sessions = ["test"]


def link_interpreters():
    """Puts build/python/bin first on PATH, with a pythonX.Y for each version
    that pyenv has or that scripts/run.sh unpacked from Debian's packages
    (`bash scripts/run.sh python X.Y` adds the others)."""
    links = ROOT / "build/python/bin"
    links.mkdir(parents=True, exist_ok=True)
    pyenv = Path(os.environ.get("PYENV_ROOT", Path.home() / ".pyenv"))
    for version in PYTHONS:
        link = links / f"python{version}"
        if link.exists():
            continue
        pyenv_found = sorted(glob.glob(f"{pyenv}/versions/{version}.*/bin/python{version}"),
                             key=lambda p: [int(n) for n in re.findall(r"\d+", Path(p).parts[-3])])
        found = pyenv_found[-1:] or glob.glob(
            str(ROOT / f"build/python/{version}/unpacked/usr/bin/python{version}"))
        if found:
            link.unlink(missing_ok=True)  # a link whose interpreter is gone
            try:  # another nox process may make the same link at once
                link.symlink_to(found[0])
            except FileExistsError:
                pass
    os.environ["PATH"] = f"{links}{os.pathsep}{os.environ['PATH']}"


link_interpreters()


# ---- environments -------------------------------------------------------------

def requirement_files(name):
    """The file and those it includes with -r, in order."""
    path = ROOT / name
    files = [path]
    for line in path.read_text().splitlines():
        if line.startswith("-r "):
            files += requirement_files(line[3:].strip())
    return files


def install(session, *names, target=None):
    """pip install -r NAME... into the session's environment (or into TARGET),
    skipped while the files, and those they include, are what the last
    install read."""
    digest = hashlib.sha256()
    for name in names:
        for path in requirement_files(name):
            digest.update(path.read_bytes())
    place = Path(target) if target else Path(session.virtualenv.location)
    stamp = Path(session.virtualenv.location) / f".installed-{place.name}-{'-'.join(names)}"
    if stamp.is_file() and stamp.read_text() == digest.hexdigest():
        return
    options = ["--target", str(place)] if target else []
    if target:
        shutil.rmtree(place, ignore_errors=True)
    session.install("-q", *options, *(arg for name in names for arg in ("-r", name)))
    stamp.write_text(digest.hexdigest())


def build_module(session, build_dir="build/{wheel_tag}", *settings, werror=True, env=None):
    """Builds the module from the tree into the session's environment, keeping
    the build in BUILD_DIR for the next time: a directory of the session's
    own (an environment of another session rebuilds everything there), but
    two runs of a session at once build one after the other."""
    locks = ROOT / "build/locks"
    locks.mkdir(parents=True, exist_ok=True)
    name = re.sub(r"\W", "-", f"{build_dir}-{session.python}-{werror}-{settings}")
    with open(locks / name, "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        session.install("-q", "--no-build-isolation", "--no-deps", "--force-reinstall",
                        f"--config-settings=build-dir={build_dir}", *([WERROR] if werror else []),
                        *settings, ".", env=env)


def tool_python(session, version):
    """The interpreter X.Y (build/python/bin's), provided by scripts/run.sh
    where need be."""
    link = ROOT / f"build/python/bin/python{version}"
    if not link.exists():
        session.run("bash", "scripts/run.sh", "python", version, silent=True, external=True)
    return str(link.resolve())


def cmake_build(session, build_dir, *options, target_args=()):
    session.run("cmake", "-S", ".", "-B", build_dir, *options, external=True, silent=True)
    session.run("cmake", "--build", build_dir, "-j", JOBS, *target_args, external=True)


def need(session, *programs):
    missing = [program for program in programs if shutil.which(program) is None]
    if missing:
        session.error(f"{', '.join(missing)} missing: `bash scripts/run.sh packages` installs them")


# ---- checks of the tree ---------------------------------------------------------

@nox.session(python="3.11")
def lint(session):
    """Layer arrows, ruff, clang-format, and the release workflow's wheels on paper."""
    need(session, "clang-format", "git")
    install(session, "requirements-lint.txt", "requirements-test.txt")
    session.run("python", "scripts/check_layers.py")
    session.run("python", "scripts/check_noexcept.py")
    session.run("bash", "scripts/check_style.sh", "python", external=True)
    session.run("check-jsonschema", "--builtin-schema", "vendor.github-workflows",
                *sorted(glob.glob(".github/workflows/*.yml")))
    session.run("python", "scripts/check_wheel_workflow.py")
    session.run("python", "-m", "pytest", "-q", "-p", "no:cacheprovider", "tests/tooling")


# ---- native code ---------------------------------------------------------------

@nox.session(python=REFERENCE)
@nox.parametrize("stdlib", ["libstdc++", "libc++"])
def native(session, stdlib):
    """The core's unit tests: with g++ and clang++, or with clang++ and libc++ (and the module)."""
    need(session, "cmake", "ctest", "g++", "clang++")
    common = ["-DFRASOLET_BUILD_EXTENSION=OFF", "-DFRASOLET_BUILD_TESTS=ON", "-DFRASOLET_WERROR=ON",
              "-DCMAKE_BUILD_TYPE=Debug"]
    if stdlib == "libstdc++":
        for compiler, name in [("g++", "gcc"), ("clang++", "clang")]:
            cmake_build(session, f"build/native/{name}", f"-DCMAKE_CXX_COMPILER={compiler}",
                        *common)
            session.run("ctest", "--test-dir", f"build/native/{name}", "--output-on-failure",
                        "-j", JOBS, external=True)
        return
    # GoogleTest from Debian's source tree: the system's library is built
    # against libstdc++.
    flags = ["-DCMAKE_CXX_COMPILER=clang++", "-DCMAKE_CXX_FLAGS=-stdlib=libc++",
             "-DFRASOLET_WERROR=ON"]
    cmake_build(session, "build/native/clang-libcxx", *flags, *common,
                "-DFRASOLET_GTEST_SOURCE_DIR=/usr/src/googletest")
    session.run("ctest", "--test-dir", "build/native/clang-libcxx", "--output-on-failure",
                "-j", JOBS, external=True)
    install(session, "requirements-test.txt")
    python = Path(session.virtualenv.location) / "bin/python"
    cmake_build(session, "build/libcxx-module", *flags, f"-DPython_EXECUTABLE={python}",
                "-DCMAKE_BUILD_TYPE=Release")
    module = glob.glob("build/libcxx-module/frasolet.cpython-*.so")[0]
    if "libc++.so" not in subprocess.run(["ldd", module], capture_output=True, text=True).stdout:
        session.error(f"{module} is not linked against libc++")
    env = {"PYTHONPATH": str(ROOT / "build/libcxx-module")}
    session.run("python", "-c", "import frasolet, os, sys; "
                "sys.exit(not frasolet.__file__.startswith(os.environ['PYTHONPATH']))", env=env)
    session.run("python", "-m", "pytest", "-q", "-p", "no:cacheprovider", "-n", JOBS,
                "tests/python/test_module.py", "tests/python/test_fragment.py",
                "tests/python/test_template.py", env=env)


@nox.session(venv_backend="none")
def fuzz(session):
    """libFuzzer on the parser, ASan and UBSan, for the given seconds (default 60)."""
    need(session, "cmake", "clang++")
    seconds = session.posargs[0] if session.posargs else "60"
    cmake_build(session, "build/fuzz", "-DFRASOLET_BUILD_EXTENSION=OFF",
                "-DFRASOLET_BUILD_FUZZERS=ON",
                "-DFRASOLET_WERROR=ON", "-DCMAKE_CXX_COMPILER=clang++",
                "-DCMAKE_BUILD_TYPE=RelWithDebInfo")
    os.makedirs("fuzz/corpus/parse_template", exist_ok=True)
    os.makedirs("fuzz/artifacts", exist_ok=True)
    session.run("build/fuzz/fuzz/parse_template_fuzzer", f"-max_total_time={seconds}",
                "-print_final_stats=1", "-artifact_prefix=fuzz/artifacts/",
                "fuzz/corpus/parse_template", "fuzz/seeds", external=True)


@nox.session(python=REFERENCE)
def atheris(session):
    """atheris on the Python surface, against a clang build with ASan and native coverage."""
    need(session, "clang++")
    install(session, "requirements-fuzz.txt")
    seconds = session.posargs[0] if session.posargs else "60"
    build_module(session, "build/atheris/build",
                 "--config-settings=cmake.build-type=RelWithDebInfo",
                 "--config-settings=cmake.define.CMAKE_CXX_FLAGS="
                 "-fsanitize=address,fuzzer-no-link -fno-omit-frame-pointer",
                 env={"CXX": "clang++"})
    python = Path(session.virtualenv.location) / "bin/python"
    runtime = subprocess.run(
        [python, "-c", "import atheris, os; print(os.path.join(os.path.dirname("
         "os.path.dirname(atheris.__file__)), 'asan_with_fuzzer.so'))"],
        capture_output=True, text=True, check=True).stdout.strip()
    # The interpreter does not link the C++ runtime, and ASan must find the
    # real __cxa_throw when it starts.
    cxxlib = os.path.realpath(subprocess.run(["clang++", "-print-file-name=libstdc++.so"],
                                             capture_output=True, text=True).stdout.strip())
    corpus = ROOT / "fuzz/corpus/python_surface"
    corpus.mkdir(parents=True, exist_ok=True)
    (ROOT / "fuzz/artifacts").mkdir(exist_ok=True)
    output = ROOT / "build/atheris/fuzz.log"
    with output.open("w") as log:
        status = subprocess.run(
            [python, ROOT / "fuzz/python_surface_fuzzer.py", f"-max_total_time={seconds}",
             "-print_final_stats=1", f"-artifact_prefix={ROOT}/fuzz/artifacts/", corpus,
             ROOT / "fuzz/seeds"],
            cwd=ROOT / "build/atheris", stdout=log, stderr=subprocess.STDOUT,
            env={**os.environ, "ASAN_OPTIONS": "detect_leaks=0:halt_on_error=1",
                 "PYTHONMALLOC": "malloc", "LD_PRELOAD": f"{runtime}:{cxxlib}"}).returncode
    text = output.read_text(errors="replace")
    kept = [line for line in text.splitlines()
            if not re.match(r'INFO: Instrumenting|"|.*# Uses:|.*recommended dictionary', line)]
    print("\n".join(kept[-20:]))
    if status:
        session.error(f"the atheris run failed (exit {status}); the whole log is {output}")
    loaded = r"Loaded \d+ modules +\((\d+) inline 8-bit counters\)"
    counters = sum(int(n) for n in re.findall(loaded, text))
    if not counters:
        session.error("libFuzzer loaded no native coverage counters of the module")
    print(f"atheris: the module's {counters} native coverage counters were loaded")


# ---- the Python suite ------------------------------------------------------------

@nox.session(python=PYTHONS)
def tests(session):
    """The Python suite on one interpreter, on every core (arguments go to pytest)."""
    install(session, "requirements-dev.txt")
    if session.python == REFERENCE:
        # The oldest mypy the stub supports, apart (test_typing.py puts it
        # first on PYTHONPATH).
        install(session, "requirements-mypy-minimum.txt",
                target=Path(session.virtualenv.location) / "mypy-minimum")
    build_module(session)
    # Each file's tests run in order in one worker process: what a test
    # measures (memory, reference counts, allocation failures, child
    # processes) is its own process's.
    session.run("python", "-m", "pytest", "-q", "-n", JOBS, "--dist", "loadfile", *session.posargs)


@nox.session(python=os.environ.get("INTEGRATIONS_PYTHON_VERSION", "3.11"))
def integrations(session):
    """Every pipeline recipe against its real engine, Ray and PyTorch included."""
    install(session, "requirements-integrations.txt")
    build_module(session, "build/integrations/{wheel_tag}")
    session.run("python", "-m", "pytest", "-q", "-rs", "tests/python/test_pipelines.py",
                *session.posargs)


# ---- wheels and aarch64 ------------------------------------------------------------

def emulated(root):
    return ["qemu-aarch64", "-L", str(root)]


def aarch64_root(session, version):
    """Debian's arm64 CPython X.Y, unpacked by scripts/run.sh."""
    return Path(session.run("bash", "scripts/run.sh", "python", version, "--arch", "aarch64",
                            silent=True, external=True).strip().splitlines()[-1])


def emulated_env(session, root, version, env, *requirements):
    """A venv of the emulated interpreter (without pip: pip is slow under
    emulation), whose packages this machine's pip installs for the target;
    this machine's CPython X.Y compiles their bytecode, the same on every
    architecture. Returns its site-packages."""
    shutil.rmtree(env, ignore_errors=True)
    session.run(*emulated(root), f"{root}/usr/bin/python{version}", "-m", "venv", "--without-pip",
                str(env), external=True)
    site = env / f"lib/python{version}/site-packages"
    if requirements:
        session.run("python", "-m", "pip", "install", "-q", "--no-compile", "--target", str(site),
                    "--platform", "manylinux_2_17_aarch64", "--python-version", version,
                    "--implementation", "cp", "--only-binary=:all:", *requirements)
        session.run(tool_python(session, version), "-m", "compileall", "-q", "-j", "0", str(site),
                    "tests/python", external=True, silent=True)
    return site


def install_for_target(session, site, version, wheel):
    platform = Path(wheel).stem.split("-")[4].split(".")[0]
    session.run("python", "-m", "pip", "install", "-q", "--no-index", "--no-deps", "--upgrade",
                "--target", str(site), "--platform", platform, "--python-version", version,
                "--implementation", "cp", "--only-binary=:all:", str(wheel))


def checked_wheel(session, version, arch, work):
    """The wheel of CPython X.Y for ARCH: built from the tree in isolation
    (cross-built for aarch64), repaired with auditwheel, whose `show` must
    agree with the manylinux tag, installed alone into a fresh venv (of the
    emulated interpreter for aarch64) and tried with the quickstart there,
    from outside the tree. Copied into dist/; returns (wheel, newest glibc
    symbol). Raises CommandFailed naming the stage that failed."""
    from nox.command import CommandFailed

    python = tool_python(session, version)
    work.mkdir(parents=True, exist_ok=True)
    builder, raw = work / f"builder-{version}", work / f"raw-{arch}-{version}"
    repaired, venv = work / f"repaired-{arch}-{version}", work / f"venv-{arch}-{version}"
    for folder in (raw, repaired):
        shutil.rmtree(folder, ignore_errors=True)
    if not (builder / "bin/python").exists():
        session.run(python, "-m", "venv", str(builder), external=True, silent=True)
    env, settings, prefix = {}, [WERROR], ""
    if arch == "aarch64":
        root = aarch64_root(session, version)
        env = {"_PYTHON_HOST_PLATFORM": "linux-aarch64", "SETUPTOOLS_EXT_SUFFIX": session.run(
            *emulated(root), f"{root}/usr/bin/python{version}", "-c",
            "import sysconfig; print(sysconfig.get_config_var('EXT_SUFFIX'))",
            silent=True, external=True).strip()}
        settings += [f"--config-settings=cmake.define.CMAKE_TOOLCHAIN_FILE={TOOLCHAIN}",
                     f"--config-settings=cmake.define.Python_INCLUDE_DIR="
                     f"{root}/usr/include/python{version}"]
        prefix = "aarch64-linux-gnu-"
    try:
        session.run(str(builder / "bin/python"), "-m", "pip", "wheel", "-q", "--no-deps",
                    "--wheel-dir", str(raw), *settings, ".", env=env, external=True)
    except CommandFailed:
        raise CommandFailed("build") from None
    wheel = glob.glob(f"{raw}/frasolet-*.whl")[0]
    try:
        session.run("auditwheel", "repair", "--wheel-dir", str(repaired), wheel)
    except CommandFailed:
        raise CommandFailed("auditwheel repair") from None
    wheel = glob.glob(f"{repaired}/frasolet-*.whl")[0]
    # auditwheel wraps its sentences: read them as one line.
    show = " ".join(session.run("auditwheel", "show", wheel, silent=True).split())
    print(show)
    tag = Path(wheel).stem.split("-")[4]
    if not (tag.startswith("manylinux_") and f"_{arch}" in tag) or \
            f'is consistent with the following platform tag: "{tag.split(".")[0]}"' not in show:
        raise CommandFailed(f"auditwheel show: {tag}")
    module = work / f"module-{arch}-{version}.so"
    with zipfile.ZipFile(wheel) as archive:
        module.write_bytes(archive.read(next(n for n in archive.namelist()
                                             if re.match(r"frasolet\.cpython-.*\.so$", n))))
    symbols = subprocess.run([f"{prefix}objdump", "-T", module], capture_output=True,
                             text=True).stdout
    glibc = max(re.findall(r"GLIBC_([\d.]+)", symbols),
                key=lambda v: [int(n) for n in v.split(".")])
    if arch == "aarch64":
        install_for_target(session, emulated_env(session, root, version, venv), version, wheel)
        command = [*emulated(root), str(venv / "bin/python")]
    else:
        shutil.rmtree(venv, ignore_errors=True)
        session.run(python, "-m", "venv", str(venv), external=True, silent=True)
        session.run(str(venv / "bin/python"), "-m", "pip", "install", "-q", "--no-index",
                    "--no-deps", wheel, external=True)
        command = [str(venv / "bin/python")]
    said = subprocess.run([*command, ROOT / "examples/quickstart.py"], cwd=work,
                          capture_output=True, text=True)
    if said.returncode or not said.stdout.startswith(f"frasolet {project_version()}"):
        print(said.stdout + said.stderr)
        raise CommandFailed(f"quickstart{' under qemu-aarch64' if prefix else ' in a fresh venv'}")
    (ROOT / "dist").mkdir(exist_ok=True)
    shutil.copy(wheel, ROOT / "dist")
    return wheel, f"GLIBC_{glibc}"


def project_version():
    return re.search(r'^version = "(.*)"$', (ROOT / "pyproject.toml").read_text(), re.M)[1]


@nox.session(python=REFERENCE)
def wheels(session):
    """manylinux wheels ([--arch aarch64] [X.Y ...]), repaired, checked and tried; into dist/."""
    from nox.command import CommandFailed

    arguments = list(session.posargs)
    arch = "x86_64"
    if arguments[:1] == ["--arch"]:
        arch = arguments[1] if len(arguments) > 1 else ""
        arguments = arguments[2:]
        if arch not in ("x86_64", "aarch64"):
            session.error("--arch: x86_64 or aarch64")
    if arch == "aarch64":
        need(session, "qemu-aarch64", "aarch64-linux-gnu-g++")
    install(session, "requirements-wheels.txt")
    summaries, failed = [], False
    for version in arguments or (PYTHONS if arch == "x86_64" else AARCH64_PYTHONS):
        try:
            wheel, glibc = checked_wheel(session, version, arch, ROOT / "build/wheels")
            summaries.append(f"CPython {version} {arch}: ok, {Path(wheel).name} "
                             f"(newest glibc symbol: {glibc})")
        except CommandFailed as failure:
            summaries.append(f"CPython {version} {arch}: FAILED ({failure.reason})")
            failed = True
    print("\n".join(summaries))
    if failed:
        session.error("a wheel failed")


@nox.session(python=NEWEST)
def aarch64(session):
    """The aarch64 wheel under emulation: its tests, the answers of x86-64 (--full: more)."""
    need(session, "qemu-aarch64", "aarch64-linux-gnu-g++")
    full = "--full" in session.posargs
    work = ROOT / "build/aarch64"
    work.mkdir(parents=True, exist_ok=True)
    install(session, "requirements-build.txt", "requirements-test.txt", "requirements-wheels.txt")
    if full:
        # The native unit tests cross-built (GoogleTest from Debian's source
        # tree), run by CTest under the toolchain file's emulator.
        cmake_build(session, "build/native/aarch64", f"-DCMAKE_TOOLCHAIN_FILE={TOOLCHAIN}",
                    "-DFRASOLET_BUILD_EXTENSION=OFF", "-DFRASOLET_BUILD_TESTS=ON",
                    "-DFRASOLET_WERROR=ON", "-DFRASOLET_GTEST_SOURCE_DIR=/usr/src/googletest",
                    "-DCMAKE_BUILD_TYPE=Debug")
        session.run("ctest", "--test-dir", "build/native/aarch64", "--output-on-failure",
                    external=True)
    # The x86-64 side of the comparison: the module built here, natively.
    build_module(session, "build/aarch64/{wheel_tag}")
    ours = work / "x86_64-results.json"
    session.run("python", "tests/python/portable_results.py", "write", str(ours))
    # test: the parse, hash, pickle and copy tests of three files (the three
    # files whole take minutes more under emulation); --full: the suite on
    # two versions, but for what checks the stub, the sdist and the scripts
    # with tools not installed there and the tests too slow emulated. Both
    # check the answers of x86-64 in the same run (test_portable_results.py).
    selection = ["tests/python/test_module.py", "tests/python/test_fragment.py",
                 "tests/python/test_template.py", "tests/python/test_portable_results.py",
                 "-k", "parse or hash or pickle or copy"]
    # --full: every arm64 version's wheel, the suite on two of them.
    for version in (AARCH64_PYTHONS if full else [NEWEST]):
        wheel, glibc = checked_wheel(session, version, "aarch64", work)
        print(f"CPython {version} aarch64: {Path(wheel).name} (newest glibc symbol: {glibc})")
        if version not in ("3.13", NEWEST):
            continue
        root = aarch64_root(session, version)
        venv = work / f"suite-{version}"
        install_for_target(session, emulated_env(session, root, version, venv,
                                                 "-r", "requirements-test.txt"), version, wheel)
        python = [*emulated(root), str(venv / "bin/python")]
        theirs = work / f"aarch64-{version}-results.json"
        session.run(*python, "tests/python/portable_results.py", "write", str(theirs),
                    external=True)
        # Child interpreters of the tests start under the emulator too.
        env = {"FRASOLET_TEST_EMULATOR": shlex.join(emulated(root)),
               "FRASOLET_OTHER_ARCH_RESULTS": str(ours)}
        session.run(*python, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-m",
                    "not packaging and not slow_under_emulation and not needs_native_interpreter",
                    "--ignore=tests/python/test_typing.py",
                    "--ignore=tests/python/test_packaging.py",
                    "--ignore=tests/python/test_examples.py", *([] if full else selection),
                    env=env, external=True)
        session.run("python", "-m", "pytest", "-q", "-p", "no:cacheprovider",
                    "tests/python/test_portable_results.py",
                    env={"FRASOLET_OTHER_ARCH_RESULTS": str(theirs)})


# ---- documentation -------------------------------------------------------------------

def draw_chart(session):
    session.run("python", "bench/plot_ratios.py", "docs/data/bench-timings.jsonl",
                "docs/images/performance-ratios.png")
    session.run("python", "bench/plot_ratios.py", "--instructions",
                "docs/data/bench-instructions.jsonl", "docs/images/performance-instructions.png")


@nox.session(python=REFERENCE)
def chart(session):
    """Redraw the charts of docs/images/ from the benchmark outputs saved in docs/data/."""
    install(session, "requirements-docs.txt")
    draw_chart(session)


@nox.session(python=REFERENCE)
def docs(session):
    """The documentation site into build/docs/html, warnings as errors, chart redrawn."""
    install(session, "requirements-docs.txt", "requirements-build.txt")
    # autodoc reads the module's docstrings.
    build_module(session, "build/docs-module/{wheel_tag}")
    draw_chart(session)
    shutil.rmtree(ROOT / "build/docs", ignore_errors=True)
    session.run("python", "-m", "sphinx", "-W", "--keep-going", "-q", "-b", "html", "-c", "docs",
                "-d", "build/docs/doctrees", ".", "build/docs/html")
    # Every page in headless Chromium at 1280 and 390 px: screenshots, no sideways scroll.
    session.run("python", "scripts/check_docs_pages.py", "build/docs/html")


@nox.session(python=os.environ.get("PYTHON_VERSION", REFERENCE))
def demo(session):
    """Build and install the module, then run examples/quickstart.py."""
    install(session, "requirements-build.txt")
    version = subprocess.run(["cmake", "--version"], capture_output=True, text=True).stdout \
        if shutil.which("cmake") else ""
    found = re.search(r"(\d+)\.(\d+)", version)
    if not found or (int(found[1]), int(found[2])) < (3, 18):
        session.install("-q", "cmake>=3.18")
    build_module(session, "build/demo/{wheel_tag}", werror=False)
    session.run("python", "examples/quickstart.py")


# ---- the test command -------------------------------------------------------------------

def closing_line(log):
    """pytest's closing line, from its log."""
    lines = [line for line in log.read_text(errors="replace").splitlines()
             if re.match(r"(=+ )?\d+ (passed|failed|skipped|errors?|deselected)|.*no tests ran",
                         line)]
    return lines[-1].strip("= ") if lines else "no closing line from pytest"


def run_steps(session, name, steps, suites):
    """Runs STEPS ((title, nox arguments, log name) each) as nox processes,
    one more at once than there are cores, in order. The first, the long
    emulated one, which runs on one core, goes first and ahead of the others
    (they run at a lower priority), so that it ends early while the rest
    fill every core. Prints a line for
    each as it ends, with its time and the processor time it took, whatever
    else ran beside it (a failed one's whole log after it), then the result
    and pytest's closing lines, a failed suite's last."""
    LOGS.mkdir(parents=True, exist_ok=True)
    slots, started, pending, running, failed = int(JOBS) + 1, time.monotonic(), list(steps), [], []
    cpu = total_cpu = 0.0
    print(f"{name}: {len(steps)} steps, {slots} at a time; the whole output of each is in its "
          "log under build/logs", flush=True)
    first = steps[0][0]
    while pending or running:
        while pending and len(running) < slots:
            title, arguments, log = pending.pop(0)
            process = subprocess.Popen(
                [sys.executable, "-m", "nox", "--noxfile", str(ROOT / "noxfile.py"), "-s",
                 *arguments],
                stdout=(LOGS / log).open("w"), stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                cwd=ROOT, preexec_fn=None if title == first else lambda: os.nice(5))
            running.append((title, log, process, time.monotonic()))
        time.sleep(0.5)
        for step in running[:]:
            if step[2].poll() is None:
                continue
            running.remove(step)
            title, log, process, began = step
            # Reaped alone, so the children's time grew by this step's alone.
            usage = resource.getrusage(resource.RUSAGE_CHILDREN)
            spent, cpu = usage.ru_utime + usage.ru_stime - cpu, usage.ru_utime + usage.ru_stime
            total_cpu += spent
            result = "ok" if process.returncode == 0 else "FAILED"
            print(f"{title:<36} {result:<6} {time.monotonic() - began:5.0f} s {spent:6.0f} s cpu   "
                  f"build/logs/{log}", flush=True)
            if process.returncode:
                failed.append(title)
                print(f"---- {title} failed (exit {process.returncode}); "
                      f"its whole log, build/logs/{log}:")
                print((LOGS / log).read_text(errors="replace"), end="")
                print(f"---- end of build/logs/{log}", flush=True)
    result = f"FAILED: {'; '.join(failed)}" if failed else "passed"
    load = " ".join(f"{value:.1f}" for value in os.getloadavg())
    print(f"\n{name}: {result} in {time.monotonic() - started:.0f} s, {total_cpu:.0f} s of "
          f"processor time (load average {load}); logs in build/logs")
    lines = [(f"pytest, CPython {version}:", closing_line(LOGS / f"pytest-py{version}.log"))
             for version in suites]
    lines.sort(key=lambda pair: bool(re.search(r"failed|error|no closing", pair[1])))
    print("\n".join(line for pair in lines for line in pair), flush=True)
    if failed:
        session.error(result)
    # The summary above is the command's last word.
    logging.getLogger("nox").setLevel(logging.WARNING)


def test_steps(matrix, pytest_arguments):
    default = " ".join(PYTHONS) if matrix else f"{REFERENCE} {NEWEST}"
    suites = os.environ.get("TEST_PYTHON_VERSIONS", default).split()
    wheels = os.environ.get("WHEEL_PYTHON_VERSIONS", f"{REFERENCE} {NEWEST}").split()
    fuzz, atheris = os.environ.get("FUZZ_SECONDS", "15"), os.environ.get("ATHERIS_SECONDS", "20")
    # The emulated step runs on one core for minutes: it starts first and
    # keeps its core; the others share the rest (the suites spread over all).
    steps = [("aarch64 under emulation", ["aarch64", "--", *(["--full"] if matrix else [])],
              "aarch64.log")]
    steps += [(f"Python suite, CPython {version}", [f"tests-{version}", "--", *pytest_arguments],
               f"pytest-py{version}.log") for version in suites]
    steps += [
        ("lint: layers, style, wheel configs", ["lint"], "lint.log"),
        ("native unit tests, g++ and clang++", ["native(stdlib='libstdc++')"], "native.log"),
        ("native and module tests, libc++", ["native(stdlib='libc++')"], "libcxx.log"),
        (f"libFuzzer, {fuzz} s", ["fuzz", "--", fuzz], "fuzz.log"),
        (f"atheris, {atheris} s", ["atheris", "--", atheris], "atheris.log"),
        ("documentation site", ["docs"], "docs.log"),
        (f"wheels, CPython {', '.join(wheels)}", ["wheels", "--", *wheels], "wheels.log"),
    ]
    return steps, suites


@nox.session(venv_backend="none")
def test(session):
    """Every check (the test command): the sessions above side by side, one line each."""
    steps, suites = test_steps(False, session.posargs)
    run_steps(session, "test", steps, suites)


@nox.session(venv_backend="none")
def matrix(session):
    """The test command with the suite on every version and the whole aarch64 check."""
    steps, suites = test_steps(True, session.posargs)
    run_steps(session, "matrix", steps, suites)
