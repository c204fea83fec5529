#!/usr/bin/env bash
# libFuzzer on the level fix (no Python): tests/fuzz/level_fix_fuzzer.cpp,
# built with clang and ASan+UBSan, run for VORN_LIBFUZZ_SECONDS (default 60;
# the test command gives it less). Exits nonzero on a crash, a sanitizer
# finding or a mismatch, with the fuzzer's whole log.
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cxx=${CLANGXX:-$(command -v clang++ || command -v clang++-14 || true)}
if [[ -z $cxx ]]; then
    skip_leg "fuzz_level_fix.sh" "clang (Debian: clang, Fedora: clang compiler-rt, macOS: brew install llvm)"
    exit 0
fi
if ! CXX=$cxx compiles 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char *, unsigned long) { return 0; }' \
    -fsanitize=fuzzer,address,undefined; then
    skip_leg "fuzz_level_fix.sh" "libFuzzer for $cxx (Fedora: compiler-rt; Apple's clang has none: brew install llvm)"
    exit 0
fi
seconds=${VORN_LIBFUZZ_SECONDS:-60}
out=$root/build/libfuzzer
mkdir -p "$out/corpus"
start=$SECONDS

build=("$cxx" -std=c++17 -O1 -g -ffp-contract=off -fno-fast-math
       -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined
       -I"$root/src" "$root/src/level_fix.cpp" "$root/src/peaks.cpp" "$root/src/kernels.cpp"
       "$root/tests/fuzz/level_fix_fuzzer.cpp" -o "$out/level_fix_fuzzer")
say "${build[*]}"
"${build[@]}"

run=("$out/level_fix_fuzzer" -max_total_time="$seconds" -max_len=20000 -print_final_stats=1
     -artifact_prefix="$out/" "$out/corpus")
say "${run[*]}"
status=0
"${run[@]}" 2>"$out/log" || status=$?
grep -E "^(#[0-9]+ +DONE|Done [0-9]+ runs|stat::number_of_executed_units)" "$out/log" >&2 || true
[[ $status == 0 ]] || cat "$out/log" >&2
echo "fuzz_level_fix.sh: exit status $status, $((SECONDS - start)) s in all" >&2
exit "$status"
