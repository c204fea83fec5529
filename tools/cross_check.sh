#!/usr/bin/env bash
# The checks of the other platforms that this machine can make:
#   1. aarch64 under qemu's user-mode emulation, with CPython 3.11 and its
#      libraries from Debian's arm64 packages (unpacked with dpkg -x into a
#      folder of their own, never installed) and NumPy's aarch64 wheel: the
#      release wheel imports, passes the interface tests, and returns the same
#      bytes as the x86-64 wheel on the digest table; the C++ unit tests,
#      cross-built with Zig, pass;
#   2. Windows under wine: the C++ unit tests cross-built with MinGW-w64 pass;
#      the extension module itself is cross-compiled and linked against an
#      import library of python3.dll (there is no Windows CPython to run it);
#   3. macOS: the extension module cross-compiled and linked with Zig (there
#      is nothing to run it on);
#   4. the cibuildwheel configuration's build identifiers on every platform.
# The wheels are those of tools/release.sh in $VORN_DIST (built when unset).
# A part whose tools are missing, and whose Debian packages cannot be
# installed (no apt-get, or not in its sources), is skipped with a notice of
# what it needs; under CI=true that fails the run instead.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=tools/common.sh
source "$root/tools/common.sh"

cache=$(release_cache)
work=$(mktemp -d "${TMPDIR:-/tmp}/vorn-cross.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$cache"

tools_venv "$cache/tools"
py=$cache/tools/bin/python
zig=$(zig_of "$cache/tools")
export PATH="$PATH:$cache/tools/bin"
wheel_for() { ls "$VORN_DIST"/vorn_hyst-*-cp310-abi3-*manylinux_2_17_"$1".whl; }

# debian_packages FILE PACKAGE...: true when FILE (a command or a path) is
# there or the PACKAGEs install.
debian_packages() {
    local file=$1
    shift
    there() { have "$file" || [ -e "$file" ]; }
    there && return 0
    debian_install --no-install-recommends "$@" || true
    there
}

# cpp_tests BUILD-DIR CMAKE-ARGS...: the C++ unit tests built for another
# platform from GoogleTest's sources, run by CTest through the emulator given.
cpp_tests() {
    local build=$1
    shift
    cmake -S "$root" -B "$build" -G Ninja -DVORN_BUILD_TESTS=ON \
        -DVORN_GTEST_SOURCE_DIR=/usr/src/googletest "$@" >"$build.log" 2>&1 &&
        cmake --build "$build" -j 2 >>"$build.log" 2>&1 ||
        { tail -n 30 "$build.log"; fail "cross build in $build"; }
    ctest --test-dir "$build" --output-on-failure | tail -n 3
}

# ---- aarch64 ---------------------------------------------------------------------

# arm64_root DIR: Debian's CPython 3.11 for arm64 and what it needs, unpacked
# into DIR, with a private apt state so that the host's stays untouched; false
# where apt's sources have no such packages.
arm64_root() {
    local dir=$1 apt=$cache/apt-arm64 packages deb
    [ -x "$dir/usr/bin/python3.11" ] && return
    have apt-get && have dpkg || return 1
    mkdir -p "$apt/lists/partial" "$apt/archives/partial" "$apt/debs"
    : >"$apt/status"
    local options=(-o "Dir::State::Lists=$apt/lists" -o "Dir::Cache=$apt" -o "Dir::State::status=$apt/status"
                   -o APT::Architecture=arm64 -o "APT::Architectures::=arm64" -o Debug::NoLocking=1)
    as_root apt-get "${options[@]}" update -qq || return 1
    # libstdc++ for NumPy's C++ parts.
    packages=$(apt-get "${options[@]}" -s install --no-install-recommends \
        python3.11-minimal libpython3.11-stdlib libstdc++6 | awk '/^Inst /{print $2}') || return 1
    [ -n "$packages" ] || return 1
    (cd "$apt/debs" && apt-get "${options[@]}" -qq download $packages 2>&1 | { grep -v "unsandboxed" || true; })
    rm -rf "$dir" && mkdir -p "$dir"
    for deb in "$apt"/debs/*.deb; do dpkg -x "$deb" "$dir"; done
    [ -x "$dir/usr/bin/python3.11" ]
}

aarch64_checks() {
    local sysroot=$cache/arm64-root site=$work/arm64-site wrapper
    step "aarch64: Debian's arm64 CPython under qemu"
    if ! arm64_root "$sysroot"; then
        skip_leg "the aarch64 checks" "apt-get, and Debian's arm64 python3.11-minimal in its sources"
        return 0
    fi
    if [ -z "${VORN_DIST:-}" ]; then
        VORN_DIST=$work/dist bash "$root/tools/release.sh"
        VORN_DIST=$work/dist
    fi
    # -0 gives the interpreter its own path as argv[0], so that the tests'
    # child interpreters (sys.executable) run emulated as well.
    wrapper=$sysroot/usr/bin/python3-qemu
    printf '#!/bin/sh\nexec qemu-aarch64-static -L "%s" -0 "$0" "%s/usr/bin/python3.11" "$@"\n' \
        "$sysroot" "$sysroot" >"$wrapper"
    chmod +x "$wrapper"
    pip_quiet "$py" -m pip install -q --target "$site" --only-binary=:all: --python-version 3.11 \
        --implementation cp --platform manylinux_2_28_aarch64 --platform manylinux2014_aarch64 \
        numpy pytest hypothesis
    "$py" -m zipfile -e "$(wheel_for aarch64)" "$site"
    # aarch64 has fused multiply-add in its base instruction set: none may
    # appear in the module, or results would depend on the compiler's whim.
    local fused
    fused=$(llvm-objdump -d "$site/vorn_hyst.abi3.so" "$site/vorn_hyst_cli/_analysis.abi3.so" |
        grep -c -E '\sf(n?madd|n?msub|mla|mls)\s' || true)
    [ "$fused" = 0 ] || fail "the aarch64 modules have $fused fused multiply-add instructions"
    echo "no fused multiply-add in the aarch64 modules"
    PYTHONPATH=$site "$wrapper" -c 'import platform, numpy, vorn_hyst
print(platform.machine(), "CPython", platform.python_version(), "NumPy", numpy.__version__, vorn_hyst.__name__, "imported")'

    step "aarch64: digest table, compared with x86-64"
    "$(build_python)" -m venv "$work/x86"
    pip_quiet "$work/x86/bin/python" -m pip install -q --only-binary=:all: numpy "$(wheel_for x86_64)"
    "$work/x86/bin/python" "$root/tests/digest_table.py" >"$work/x86_64.txt"
    PYTHONPATH=$site "$wrapper" "$root/tests/digest_table.py" >"$work/aarch64.txt"
    diff "$work/x86_64.txt" "$work/aarch64.txt" || fail "aarch64 and x86-64 results differ"
    echo "$(wc -l <"$work/x86_64.txt") images, byte-identical on aarch64 and x86-64"

    step "aarch64: interface tests under qemu"
    # The suites of the command line, the leak, stress and typing checks need
    # Pillow, valgrind or mypy, or take minutes emulated; these call the module.
    (cd "$work" && PYTHONPATH=$site VORN_DIFF_EXAMPLES=30 "$wrapper" -m pytest -q -p no:cacheprovider \
        --rootdir "$root" --basetemp "$work/pytest-aarch64" \
        "$root/tests/test_interface.py" "$root/tests/test_level_fix.py" | tail -n 2)

    step "aarch64: C++ unit tests built with Zig, run under qemu"
    VORN_ZIG=$zig VORN_ZIG_TARGET=aarch64-linux-gnu.2.17 cpp_tests "$work/cpp-aarch64" \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/zig-toolchain.cmake" \
        "-DCMAKE_CROSSCOMPILING_EMULATOR=qemu-aarch64-static;-L;$sysroot"
}

# ---- Windows ----------------------------------------------------------------------

windows_checks() {
    step "Windows: C++ unit tests built with MinGW-w64, run under wine"
    # wine's server keeps its socket and lock under $TMPDIR/wine-*/, which this
    # run's own folder holds, so that nothing is left in the system's.
    export WINEPREFIX=$cache/wine WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" TMPDIR=$work/tmp
    mkdir -p "$TMPDIR"
    cpp_tests "$work/cpp-windows" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-toolchain.cmake" \
        -DCMAKE_CROSSCOMPILING_EMULATOR=wine

    step "Windows: the extension modules, compiled and linked only"
    local sdk=$work/windows-sdk build=$work/ext-windows name module exports dlls
    mkdir -p "$sdk"
    "$py" "$root/tools/windows/python3_def.py" "$sdk/python3.def"
    x86_64-w64-mingw32-dlltool -d "$sdk/python3.def" -l "$sdk/libpython3.dll.a" -D python3.dll
    cp -r "$(python_include)" "$sdk/include"
    cp "$root/tools/windows/pyconfig.h" "$sdk/include/pyconfig.h"
    numpy_headers "$cache/tools" win_amd64 "$cache/numpy-include-win_amd64"
    # FindPython takes a library without its DLL for a static one; naming the
    # DLL keeps it from adding the host's link flags.
    extension_build "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-toolchain.cmake" \
        -DPython_INCLUDE_DIR="$sdk/include" -DPython_SABI_LIBRARY="$sdk/libpython3.dll.a" \
        -D_Python_RUNTIME_SABI_LIBRARY_RELEASE="$sdk/python3.dll" \
        -DVORN_NUMPY_INCLUDE_DIR="$cache/numpy-include-win_amd64"
    for name in "${MODULE_NAMES[@]}"; do
        module=$build/$name.pyd
        [ -e "$module" ] || fail "no $name.pyd"
        x86_64-w64-mingw32-objdump -p "$module" >"$module.txt"
        exports=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' "$module.txt" | awk '/\]/ && NR > 1 {print $NF}')
        dlls=$(awk '/DLL Name:/ {print $3}' "$module.txt" | sort | tr '\n' ' ')
        [ "$exports" = "PyInit_$name" ] || fail "$name.pyd exports: $exports"
        [ "$dlls" = "KERNEL32.dll msvcrt.dll python3.dll " ] || fail "$name.pyd needs: $dlls"
        echo "$name.pyd: exports $exports, needs $dlls"
    done
}

# The wheel's extension modules, by the name after PyInit_.
MODULE_NAMES=(vorn_hyst _analysis)

python_include() { "$(build_python)" -c 'import sysconfig; print(sysconfig.get_path("include"))'; }

# extension_build BUILD-DIR CMAKE-ARGS...
extension_build() {
    local build=$1
    shift
    cmake -S "$root" -B "$build" -G Ninja "$@" >"$build.log" 2>&1 &&
        cmake --build "$build" -j 2 >>"$build.log" 2>&1 ||
        { tail -n 30 "$build.log"; fail "cross build in $build"; }
}

# ---- macOS -------------------------------------------------------------------------

macos_checks() {
    local arch=$1 platform=$2 name module ours
    local build=$work/ext-macos-$arch
    step "macOS $arch: the extension modules, compiled and linked only"
    numpy_headers "$cache/tools" "$platform" "$cache/numpy-include-$platform"
    # The limited API's headers are the same on every system but for
    # pyconfig.h, whose sizes agree between 64-bit Linux and macOS.
    VORN_ZIG=$zig VORN_ZIG_TARGET=$arch-macos extension_build "$build" \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/zig-toolchain.cmake" \
        -DPython_INCLUDE_DIR="$(python_include)" -DVORN_NUMPY_INCLUDE_DIR="$cache/numpy-include-$platform"
    for name in "${MODULE_NAMES[@]}"; do
        module=$build/$name.abi3.so
        [ -e "$module" ] || fail "no $name.abi3.so for macOS $arch"
        # Zig's linker ignores -exported_symbols_list, and its static libc++
        # exports the replaceable operator new and delete; Apple's linker,
        # which builds the released wheel, honours the list. Only our own
        # symbols count here.
        ours=$(llvm-nm -g --defined-only "$module" | awk '{print $3}' |
            grep -v -E -e '^__Z(dl|da|nw|na)' -e '^___dso_handle$' -e '^__mh_dylib_header$' || true)
        [ "$ours" = "_PyInit_$name" ] || fail "macOS $arch $name exports: $ours"
        echo "$name.abi3.so, $(file -b "$module" | cut -d, -f1): exports _PyInit_$name of its own"
    done
}

# ---- run ---------------------------------------------------------------------------

gtest=/usr/src/googletest/CMakeLists.txt
gtest_hint="GoogleTest's sources in /usr/src/googletest (Debian: googletest)"
# llvm's binutils read the foreign binaries (AArch64 code, Mach-O).
llvm_hint="llvm-objdump and llvm-nm (Debian: llvm, Fedora: llvm, macOS: brew install llvm)"
debian_packages llvm-objdump llvm || true
if [ "$(uname -s)-$(uname -m)" != Linux-x86_64 ]; then
    echo "SKIPPED: the aarch64 checks: they run on Linux x86-64, under qemu's user-mode emulation"
elif ! have llvm-objdump; then
    skip_leg "the aarch64 checks" "$llvm_hint"
elif ! debian_packages qemu-aarch64-static qemu-user-static; then
    skip_leg "the aarch64 checks" "qemu-aarch64-static (Debian: qemu-user-static)"
elif ! debian_packages "$gtest" googletest; then
    skip_leg "the aarch64 checks" "$gtest_hint"
else
    aarch64_checks
fi
if ! debian_packages wine wine wine64; then
    skip_leg "the Windows checks" "wine (Debian: wine wine64)"
elif ! debian_packages x86_64-w64-mingw32-g++-posix g++-mingw-w64-x86-64-posix ||
    ! debian_packages x86_64-w64-mingw32-dlltool binutils-mingw-w64-x86-64; then
    skip_leg "the Windows checks" "MinGW-w64 (Debian: g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64)"
elif ! debian_packages "$gtest" googletest; then
    skip_leg "the Windows checks" "$gtest_hint"
else
    windows_checks
fi
if have llvm-nm; then
    macos_checks aarch64 macosx_14_0_arm64
    macos_checks x86_64 macosx_10_9_x86_64
else
    skip_leg "the macOS checks" "$llvm_hint"
fi

# cibuildwheel itself needs a newer interpreter than the wheel.
cibw_python=$(python_of 13)
[ -n "$cibw_python" ] || cibw_python=$(python_of 12)
if [ -z "$cibw_python" ]; then
    skip_leg "cibuildwheel's build identifiers" "CPython 3.12 or 3.13"
else
    step "cibuildwheel's build identifiers"
    "$cibw_python" -m venv "$work/cibw"
    pip_quiet "$work/cibw/bin/python" -m pip install -q cibuildwheel pytest
    (cd "$work" && "$work/cibw/bin/python" -m pytest -q -p no:cacheprovider --rootdir "$root" \
        --basetemp "$work/pytest-cibw" "$root/tests/test_cibuildwheel.py" | tail -n 2)
fi

step "cross checks passed"
