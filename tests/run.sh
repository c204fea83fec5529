#!/usr/bin/env bash
# Every test of the project, from a clean checkout:
#   1. the C++ unit tests of the level fix (GoogleTest via CTest);
#   2. the release (tools/release.sh), whose x86-64 wheel is installed, with
#      no compiler, into a fresh virtual environment of every CPython >= 3.10
#      found here: the oldest with the oldest NumPy 1.x it can install, the
#      others with the newest NumPy;
#   3. one environment without NumPy;
#   4. static analysis of src/, the suite against a sanitizer build, and a
#      valgrind run of the leak check;
#   5. the other platforms' checks (tools/cross_check.sh): aarch64 under
#      qemu, Windows under wine, the macOS link, cibuildwheel's selection.
# Set VORN_PYTHONS="python3.10 python3.13" to choose the interpreters yourself.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/vorn-tests.XXXXXX")
trap 'rm -rf "$work"' EXIT
# shellcheck source=tools/common.sh
source "$root/tools/common.sh"

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

mapfile -t pythons < <(discover_pythons)
[ "${#pythons[@]}" -gt 0 ] || fail "no CPython 3.10 or newer found"
oldest=${pythons[0]}
newest=${pythons[-1]}
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

missing=()
[ -e /usr/include/gtest/gtest.h ] || [ -e /usr/local/include/gtest/gtest.h ] || missing+=(libgtest-dev)
for tool in clang-tidy cppcheck valgrind; do command -v "$tool" >/dev/null || missing+=("$tool"); done
command -v pdftoppm >/dev/null || missing+=(poppler-utils)  # renders the PDF tests' pages
if [ "${#missing[@]}" -gt 0 ]; then
    step "installing ${missing[*]}"
    { as_root apt-get update -qq && as_root apt-get install -y -qq "${missing[@]}" >/dev/null; } ||
        fail "could not install Debian's ${missing[*]}"
fi

# ---- C++ unit tests ----------------------------------------------------------

step "C++ unit tests"
cmake -S "$root" -B "$work/cpp" -DVORN_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$work/cpp" -j 2 >/dev/null
ctest --test-dir "$work/cpp" --output-on-failure -j 2 | tail -n 3

# ---- the wheel -----------------------------------------------------------------

# The wheel under test is the released one: tools/release.sh builds it with
# Zig for glibc 2.17 and checks its tag, ABI and exports.
step "the release: sdist and manylinux wheels"
VORN_DIST="$work/dist" bash "$root/tools/release.sh"
wheels=("$work"/dist/vorn_hyst-*-cp310-abi3-*manylinux_2_17_x86_64.whl)
[ -e "${wheels[0]}" ] || fail "no manylinux_2_17_x86_64 wheel: $(ls "$work/dist")"
wheel=${wheels[0]}

# ---- one environment per interpreter -------------------------------------------------

numpy_for() {  # the NumPy requirement for an interpreter
    local version
    if [ "$1" = "$oldest" ] && version=$("$1" "$root/tests/oldest_numpy.py") && [ -n "$version" ]; then
        echo "numpy==$version"
    else
        echo "numpy"
    fi
}

run_suite() {  # run_suite VENV EXAMPLES PYTEST-ARGS...
    local venv=$1 examples=$2
    shift 2
    (cd "$work" && VORN_DIFF_EXAMPLES=$examples "$venv/bin/python" -m pytest -q \
        -p no:cacheprovider --rootdir "$root" "$@")
}

for python in "${pythons[@]}"; do
    requirement=$(numpy_for "$python")
    venv=$work/venv-$(minor_of "$python")
    step "$("$python" -V) with $requirement"
    # Dask comes only into the newest interpreter's environment, where the
    # cluster tests run; elsewhere they are skipped.
    extras=cli,test
    if [ "$python" = "$newest" ]; then extras=cli,test,cluster; fi
    new_venv "$venv" "$python" "$requirement" "$wheel[$extras]"
    "$venv/bin/python" -c 'import numpy, vorn_hyst; print("numpy", numpy.__version__)'
    # The ends of the range get the long differential run.
    examples=300
    if [ "$python" = "$oldest" ] || [ "$python" = "$newest" ]; then examples=2000; fi
    run_suite "$venv" "$examples" "$root/tests"
done

step "$("$newest" -V) without NumPy"
new_venv "$work/venv-bare" "$newest" pytest
pip_quiet "$work/venv-bare/bin/python" -m pip install -q --no-deps "$wheel"
"$work/venv-bare/bin/python" -c 'import vorn_hyst, sys; assert "numpy" not in sys.modules'
run_suite "$work/venv-bare" 0 "$root/tests/test_numpy_api.py"

# ---- analysis and instrumented runs ---------------------------------------------------

step "static analysis"
# The oldest interpreter is the one the wheel is built with, and the headers
# are NumPy 2's, as in the wheel's build.
new_venv "$work/lint" "$oldest" "numpy>=2"
PYTHON="$work/lint/bin/python" bash "$root/tests/lint.sh"

step "sanitizer build of the suite"
new_venv "$work/asan" "$newest" numpy pytest hypothesis scikit-build-core
VORN_ASAN_VENV="$work/asan" bash "$root/tests/sanitize.sh"

step "valgrind"
new_venv "$work/valgrind" "$newest" numpy scikit-build-core
VORN_VALGRIND_VENV="$work/valgrind" bash "$root/tests/valgrind.sh"

step "other platforms"
VORN_DIST="$work/dist" bash "$root/tools/cross_check.sh"

step "all tests passed"
