#!/usr/bin/env bash
# Every test of the project, from a clean checkout:
#   1. the C++ unit tests of the level fix (GoogleTest via CTest), as a plain
#      build and under AddressSanitizer and UndefinedBehaviorSanitizer, and a
#      short libFuzzer run of the level fix against its own reference;
#   2. the release (tools/release.sh), whose x86-64 wheel is installed, with
#      no compiler, into a fresh virtual environment of every CPython >= 3.10
#      found here: the oldest with the oldest NumPy 1.x it can install, the
#      others with the newest NumPy;
#   3. the interface tests that need no NumPy, in an environment without it;
#   4. static analysis of src/, the suite against a sanitizer build, and a
#      valgrind run of the leak check;
#   5. the other platforms' checks (tools/cross_check.sh): aarch64 under
#      qemu, Windows under wine, the macOS link, cibuildwheel's selection.
# Set VORN_PYTHONS="python3.10 python3.13" to choose the interpreters yourself,
# VORN_LIBFUZZ_SECONDS for the fuzzer's time (default 30).
#
# Debian's tools that a step needs are installed with apt-get when missing. On
# a system without apt-get, a step whose tools are missing is skipped with a
# notice of what to install; the C++ unit tests and the Python suite on every
# interpreter run wherever CMake, a C++ compiler and GoogleTest are. Under
# CI=true every step must run: a missing tool fails the run.
set -euo pipefail

source "$(dirname "$0")/common.sh"
work=$(mktemp -d "${TMPDIR:-/tmp}/vorn-tests.XXXXXX")
trap 'rm -rf "$work"' EXIT

# ---- interpreters ----------------------------------------------------------

minor_of() { "$1" -c 'import sys; print(sys.version_info[1] if sys.version_info >= (3, 10) else "")' 2>/dev/null; }

discover_pythons() {
    local candidates=() seen=" " p minor
    if [ -n "${VORN_PYTHONS:-}" ]; then
        read -r -a candidates <<<"$VORN_PYTHONS"
    else
        if command -v pyenv >/dev/null; then
            candidates+=("$(pyenv root)"/versions/*/bin/python3)
        fi
        for minor in 10 11 12 13 14 15; do
            p=$(command -v "python3.$minor" 2>/dev/null) && candidates+=("$p")
        done
        candidates+=("$(command -v python3)")
    fi
    for p in "${candidates[@]}"; do
        [ -x "$p" ] || p=$(command -v "$p" 2>/dev/null) || continue
        minor=$(minor_of "$p") || continue
        [ -n "$minor" ] || continue
        case "$seen" in *" $minor "*) continue ;; esac
        seen+="$minor "
        printf '%s %s\n' "$minor" "$p"
    done | sort -n | cut -d' ' -f2-
}

pythons=()
while IFS= read -r p; do pythons+=("$p"); done < <(discover_pythons)
[ "${#pythons[@]}" -gt 0 ] || fail "no CPython 3.10 or newer found"
oldest=${pythons[0]}
newest=${pythons[${#pythons[@]}-1]}
step "interpreters: ${pythons[*]}"

new_venv() {  # new_venv DIR PYTHON PACKAGES...
    local dir=$1 python=$2
    shift 2
    "$python" -m venv "$dir"
    pip_quiet "$dir/bin/python" -m pip install -q "$@"
}

"$oldest" -m venv "$work/tools"
tools=$work/tools/bin
command -v cmake >/dev/null || pip_quiet "$tools/python" -m pip install -q cmake
command -v ninja >/dev/null || pip_quiet "$tools/python" -m pip install -q ninja
export PATH="$PATH:$tools"

# ---- Debian's tools -------------------------------------------------------------

have_gtest() {
    local dir
    for dir in /usr/include /usr/local/include /opt/homebrew/include "${GTEST_ROOT:-/nonexistent}/include"; do
        [ -e "$dir/gtest/gtest.h" ] && return 0
    done
    return 1
}

missing=()
have_gtest || missing+=(libgtest-dev)
for tool in clang-tidy cppcheck valgrind; do have "$tool" || missing+=("$tool"); done
have pdftoppm || missing+=(poppler-utils)  # renders the PDF tests' pages
have clang++ || have clang++-14 || missing+=(clang)
if [ "${#missing[@]}" -gt 0 ]; then
    # What is still missing after this skips its step, or fails it under CI=true.
    debian_install "${missing[@]}" || say "Debian's ${missing[*]} not installed"
fi
have pdftoppm ||
    skip_leg "the PDF tests that render pages" "poppler's pdftoppm (Debian: poppler-utils, Fedora: poppler-utils, macOS: brew install poppler)"

# ---- C++ unit tests ----------------------------------------------------------

cpp_tests() {  # cpp_tests BUILD-DIR CMAKE-ARGS...
    local build=$1
    shift
    cmake -S "$root" -B "$build" -G Ninja -DVORN_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
    cmake --build "$build" -j 2 >/dev/null || cmake --build "$build" -j 1  # the errors, in full
    ctest --test-dir "$build" --output-on-failure -j 2 --progress
}

gtest_hint="GoogleTest (Debian: libgtest-dev, Fedora: gtest-devel, macOS: brew install googletest)"
if have_gtest; then
    step "C++ unit tests"
    cpp_tests "$work/cpp"
else
    skip_leg "the C++ unit tests" "$gtest_hint"
fi
if ! have_gtest; then
    skip_leg "the C++ unit tests under the sanitizers" "$gtest_hint"
elif ! sanitizers_link; then
    skip_leg "the C++ unit tests under the sanitizers" "the compiler's AddressSanitizer and UndefinedBehaviorSanitizer (Fedora: libasan libubsan)"
else
    step "C++ unit tests under AddressSanitizer and UndefinedBehaviorSanitizer"
    # LeakSanitizer runs on Linux only.
    leaks=0
    if [ "$(uname -s)" = Linux ]; then leaks=1; fi
    ASAN_OPTIONS=detect_leaks=$leaks:halt_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        cpp_tests "$work/cpp-asan" -DVORN_SANITIZE=ON
fi

step "libFuzzer on the level fix"
VORN_LIBFUZZ_SECONDS=${VORN_LIBFUZZ_SECONDS:-30} bash "$root/tools/fuzz_level_fix.sh"

# ---- the wheel -----------------------------------------------------------------

# The wheel under test is the released one: tools/release.sh builds it with
# Zig for glibc 2.17 and checks its tag, ABI and exports. The release is made
# on Linux; elsewhere the suite runs on a wheel built here by pip.
case $(uname -s)-$(uname -m) in
    Linux-x86_64 | Linux-aarch64)
        step "the release: sdist and manylinux wheels"
        VORN_DIST="$work/dist" bash "$root/tools/release.sh"
        wheels=("$work"/dist/vorn_hyst-*-cp310-abi3-*manylinux_2_17_"$(uname -m)".whl) ;;
    *)
        step "a wheel built here (the release is made on Linux x86-64 or aarch64)"
        pip_quiet "$work/tools/bin/python" -m pip wheel -q --no-deps -w "$work/dist" "$root"
        wheels=("$work"/dist/vorn_hyst-*-cp310-abi3-*.whl) ;;
esac
[ -e "${wheels[0]}" ] || fail "no wheel to test: $(ls "$work/dist")"
wheel=${wheels[0]}

# ---- one environment per interpreter -------------------------------------------------

numpy_for() {  # the NumPy requirement for an interpreter
    local version
    if [ "$1" != "$oldest" ]; then
        echo "numpy"
        return
    fi
    # The compatibility leg is only worth its name with the oldest NumPy.
    version=$("$1" "$root/tools/oldest_numpy.py") ||
        fail "could not read the NumPy releases for $("$1" -V) from PyPI"
    if [ -z "$version" ]; then
        echo "NOTE: no NumPy 1.x for $("$1" -V): the oldest interpreter runs the newest NumPy" >&2
        echo "numpy"
        return
    fi
    echo "numpy==$version"
}

run_suite() {  # run_suite VENV EXAMPLES PYTEST-ARGS...: the slow tests too (-m "")
    local venv=$1 examples=$2 basetemp
    shift 2
    basetemp=$(mktemp -d "$work/pytest.XXXXXX")
    (cd "$work" && VORN_DIFF_EXAMPLES=$examples "$venv/bin/python" -m pytest -q \
        -p no:cacheprovider --rootdir "$root" --basetemp "$basetemp" -m "" "$@")
}

for python in "${pythons[@]}"; do
    requirement=$(numpy_for "$python") || exit 1
    venv=$work/venv-$(minor_of "$python")
    step "$("$python" -V) with $requirement"
    # Dask comes only into the newest interpreter's environment, where the
    # cluster tests run; elsewhere they are skipped. imagecodecs (the fast
    # extra) into every one but the oldest, whose oldest NumPy it does not
    # take: there, as everywhere, the Pillow path runs too.
    extras=cli,test,fast
    if [ "$python" = "$oldest" ]; then extras=cli,test; fi
    if [ "$python" = "$newest" ]; then extras=cli,test,cluster,fast; fi
    new_venv "$venv" "$python" "$requirement" "$wheel[$extras]"
    "$venv/bin/python" -c 'import numpy, vorn_hyst; print("numpy", numpy.__version__)'
    # The ends of the range get the long differential run.
    examples=300
    if [ "$python" = "$oldest" ] || [ "$python" = "$newest" ]; then examples=2000; fi
    run_suite "$venv" "$examples" "$root/tests"
done

step "$("$newest" -V) without NumPy"
"$newest" -m venv "$work/venv-bare"
pip_quiet "$work/venv-bare/bin/python" -m pip install -q --no-deps "$wheel"
"$work/venv-bare/bin/python" -c 'import vorn_hyst, sys; assert "numpy" not in sys.modules'
"$work/venv-bare/bin/python" -c 'import numpy' 2>/dev/null && fail "NumPy in the NumPy-free environment"
# pytest of the newest leg, its subprocesses in the NumPy-free interpreter.
VORN_SUBPROCESS_PYTHON=$work/venv-bare/bin/python \
    run_suite "$work/venv-$(minor_of "$newest")" 0 -m numpy_free "$root/tests/test_interface.py"

# ---- analysis and instrumented runs ---------------------------------------------------

step "static analysis"
# The oldest interpreter is the one the wheel is built with, and the headers
# are NumPy 2's, as in the wheel's build. ruff and mypy at a fixed release,
# so that a new one's checks come in by a change here.
new_venv "$work/lint" "$oldest" "numpy>=2" "ruff==0.17.*" "mypy==2.4.*"
PYTHON="$work/lint/bin/python" bash "$root/tools/lint.sh"

step "sanitizer build of the suite"
new_venv "$work/asan" "$newest" numpy pytest hypothesis scikit-build-core
VORN_ASAN_VENV="$work/asan" bash "$root/tools/sanitize.sh"

step "valgrind"
new_venv "$work/valgrind" "$newest" numpy scikit-build-core
VORN_VALGRIND_VENV="$work/valgrind" bash "$root/tools/valgrind.sh"

step "other platforms"
VORN_DIST="$work/dist" bash "$root/tools/cross_check.sh"

step "all tests passed"
