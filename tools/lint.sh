#!/usr/bin/env bash
# Static analysis of src/: clang-tidy (checks in .clang-tidy) and cppcheck,
# both from the compile commands of a CMake configure that finds the
# interpreter's and NumPy's headers. Exits nonzero on any finding.
#
# Usage: bash tools/lint.sh        Environment: PYTHON (default python3)
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
python=$("${PYTHON:-python3}" -c "import sys; print(sys.executable)")
build=$root/build/lint
start=$SECONDS
for tool in cmake clang-tidy cppcheck; do
  command -v "$tool" >/dev/null || { echo "lint.sh: $tool is not installed" >&2; exit 1; }
done

# A cache from another interpreter's configure would keep that interpreter.
rm -f "$build/CMakeCache.txt"
say cmake -S "$root" -B "$build" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DPython_EXECUTABLE="$python"
cmake -S "$root" -B "$build" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DPython_EXECUTABLE="$python" \
  >/dev/null

status=0
sources=("$root"/src/*.cpp)
say clang-tidy -p "$build" --quiet "${sources[@]#"$root"/}"
(cd "$root" && clang-tidy -p "$build" --quiet "${sources[@]}") || status=1

# cppcheck does not read system headers' macros, so the ones NumPy's headers
# test for are given. Suppressed, with the reason:
#   useStlAlgorithm     house style, as readability-use-anyofallof in .clang-tidy
#   cppcheckError       peaks.cpp: the tool's own "cyclic reverse analysis" failure
#   NumPy's headers     not ours
cppcheck_args=(--project="$build/compile_commands.json" --std=c++17 --quiet
  --enable=warning,style,performance,portability --inline-suppr --error-exitcode=1
  -DPy_USING_UNICODE -D__x86_64__ -D__linux__ -D__GNUC__=12
  --suppress=missingIncludeSystem --suppress=useStlAlgorithm
  --suppress="cppcheckError:$root/src/peaks.cpp"
  --suppress="*:*/numpy/*"
  --template='{file}:{line}: {severity} [{id}] {message}')
say cppcheck "${cppcheck_args[@]}"
(cd "$root" && cppcheck "${cppcheck_args[@]}") || status=1

echo "lint.sh: $([[ $status == 0 ]] && echo clean || echo FINDINGS), $((SECONDS - start)) s" >&2
exit "$status"
