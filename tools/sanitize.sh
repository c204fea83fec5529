#!/usr/bin/env bash
# Builds the module with AddressSanitizer and UndefinedBehaviorSanitizer into
# a venv of its own and runs the pytest suite against it.
#
# The interpreter is not instrumented, so the sanitizer runtimes are preloaded
# and Python's own allocator is switched off (PYTHONMALLOC=malloc) so that
# every object goes through the checked malloc. Leaks are looked for while
# the interpreter is still alive: at exit CPython drops
# much of its memory on purpose, and every such block was allocated under
# some call, the module's included, so no suppression by frame could tell the
# interpreter's blocks from the module's (tests/support/lsan_plugin.py).
#
# Usage: bash tools/sanitize.sh [pytest arguments]   (default: the whole suite, slow tests too)
# Environment: VORN_ASAN_VENV (default /tmp/vorn-asan), PYTHON (default python3),
# CXX (default g++: whose sanitizer runtimes are preloaded). Linux only.
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
venv=${VORN_ASAN_VENV:-/tmp/vorn-asan}
start=$SECONDS
cxx=${CXX:-g++}
if [[ $(uname -s) != Linux ]] || ! have ldd || ! have "$cxx"; then
  skip_leg "sanitize.sh" "Linux, ldd and $cxx (the sanitizer runtimes are preloaded into the interpreter)"
  exit 0
fi
asan=$("$cxx" -print-file-name=libasan.so)
ubsan=$("$cxx" -print-file-name=libubsan.so)
if [[ ! -e $asan || ! -e $ubsan ]]; then
  skip_leg "sanitize.sh" "$cxx's libasan.so and libubsan.so (Fedora: libasan libubsan)"
  exit 0
fi
out=$(mktemp -d "${TMPDIR:-/tmp}/vorn-sanitize.XXXXXX")
trap 'rm -rf "$out"' EXIT

install_module "$venv" build/asan ON
vpy=$venv/bin/python
"$vpy" -c "import pytest, hypothesis, numpy" 2>/dev/null ||
  { say "$vpy -m pip install pytest hypothesis numpy"; pip_quiet "$vpy" -m pip install -q pytest hypothesis numpy; }

module=$(cd /tmp && "$vpy" -c "import importlib.util as u; print(u.find_spec('vorn_hyst').origin)")
libraries=$(ldd "$module")  # not piped into grep -q: under pipefail its early exit fails ldd
if [[ $libraries != *libasan* ]]; then
  echo "sanitize.sh: $module is not a sanitizer build" >&2
  exit 1
fi

export LD_PRELOAD="$asan:$ubsan"
export PYTHONMALLOC=malloc
# allocator_may_return_null lets an impossible request come back as a failed
# allocation, which the module reports as MemoryError, instead of aborting.
export ASAN_OPTIONS=detect_leaks=1:leak_check_at_exit=0:halt_on_error=1:abort_on_error=0:exitcode=86:allocator_may_return_null=1:detect_stack_use_after_return=1:strict_string_checks=1:check_initialization_order=1
export LSAN_OPTIONS=suppressions=$root/tools/lsan.supp:print_suppressions=0:exitcode=87
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:exitcode=88
export VORN_SANITIZED=1
export PYTHONPATH=$root/tests/support${PYTHONPATH:+:$PYTHONPATH}

args=("$@")
[[ ${#args[@]} -gt 0 ]] || args=(-m "" tests)
say "LD_PRELOAD=$LD_PRELOAD PYTHONMALLOC=malloc"
say "ASAN_OPTIONS=$ASAN_OPTIONS"
say "LSAN_OPTIONS=$LSAN_OPTIONS UBSAN_OPTIONS=$UBSAN_OPTIONS VORN_SANITIZED=1"
# pytest captures at the Python level only: its capture of file descriptor 2
# would lose the report of a process that a sanitizer ends mid-test.
say "$vpy -m pytest -p lsan_plugin --capture=sys -q ${args[*]}"
# The allocator's note on each refused huge request (MemoryError tests) is
# left out of the output.
set +e
(cd "$root" && "$vpy" -m pytest -p lsan_plugin --capture=sys -q -p no:cacheprovider \
  --basetemp "$out/pytest" "${args[@]}") 2>&1 |
  grep -v --line-buffered "WARNING: AddressSanitizer failed to allocate 0x"
status=${PIPESTATUS[0]}
set -e
echo "sanitize.sh: pytest exit status $status, $((SECONDS - start)) s in all" >&2
exit "$status"
