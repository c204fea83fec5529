#!/usr/bin/env bash
# Static analysis. Of src/: clang-tidy (checks in .clang-tidy) and cppcheck,
# both from the compile commands of a CMake configure that finds the
# interpreter's and NumPy's headers. Of the Python code (python/, tests/,
# bench/, tools/, examples/): ruff and mypy, configured in pyproject.toml,
# run by the interpreter (pip install ruff mypy). Exits nonzero on any finding.
#
# Usage: bash tools/lint.sh
# Environment: PYTHON (default python3), which needs NumPy for the configure;
# VORN_LINT_PYTHON=0 leaves the Python checks out (default 1).
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
python=$("${PYTHON:-python3}" -c "import sys; print(sys.executable)")
build=$root/build/lint
start=$SECONDS
status=0

cpp_checks() {
  # A cache from another interpreter's configure would keep that interpreter.
  rm -f "$build/CMakeCache.txt"
  say cmake -S "$root" -B "$build" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DPython_EXECUTABLE="$python"
  cmake -S "$root" -B "$build" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DPython_EXECUTABLE="$python" \
    >/dev/null

  local found=0 sources=("$root"/src/*.cpp)
  say clang-tidy -p "$build" --quiet "${sources[@]#"$root"/}"
  (cd "$root" && clang-tidy -p "$build" --quiet "${sources[@]}") || found=1

  # cppcheck does not read system headers' macros, so the ones NumPy's headers
  # test for are given. Suppressed, with the reason:
  #   useStlAlgorithm     house style, as readability-use-anyofallof in .clang-tidy
  #   cppcheckError       peaks.cpp: the tool's own "cyclic reverse analysis" failure
  #   NumPy's headers     not ours
  local cppcheck_args=(--project="$build/compile_commands.json" --std=c++17 --quiet
    --enable=warning,style,performance,portability --inline-suppr --error-exitcode=1
    -DPy_USING_UNICODE -D__x86_64__ -D__linux__ -D__GNUC__=12
    --suppress=missingIncludeSystem --suppress=useStlAlgorithm
    --suppress="cppcheckError:$root/src/peaks.cpp"
    --suppress="*:*/numpy/*"
    --template='{file}:{line}: {severity} [{id}] {message}')
  say cppcheck "${cppcheck_args[@]}"
  (cd "$root" && cppcheck "${cppcheck_args[@]}") || found=1
  return "$found"
}

python_checks() {
  local found=0 paths=(python tests bench tools examples)
  say "$python -m ruff check ${paths[*]}"
  (cd "$root" && "$python" -m ruff check --cache-dir "$build/ruff" "${paths[@]}") || found=1
  # The files are pyproject.toml's.
  say "$python -m mypy"
  (cd "$root" && "$python" -m mypy) || found=1
  return "$found"
}

missing=""
for tool in cmake clang-tidy cppcheck; do have "$tool" || missing="${missing:+$missing }$tool"; done
if [[ -n $missing ]]; then
  skip_leg "lint.sh's C++ checks" "$missing (Debian and Fedora: clang-tidy cppcheck; macOS: brew install llvm cppcheck)"
else
  cpp_checks || status=1
fi

if [[ ${VORN_LINT_PYTHON:-1} == 1 ]]; then
  if "$python" -c "import ruff, mypy" 2>/dev/null; then
    python_checks || status=1
  else
    skip_leg "lint.sh's Python checks" "ruff and mypy ($python -m pip install ruff mypy)"
  fi
fi

echo "lint.sh: $([[ $status == 0 ]] && echo clean || echo FINDINGS), $((SECONDS - start)) s" >&2
exit "$status"
