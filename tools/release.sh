#!/usr/bin/env bash
# Writes the release into dist/ (or $VORN_DIST): the sdist, and abi3 wheels for
# Linux x86-64 and aarch64 that load on glibc 2.17 and later
# (manylinux_2_17 / manylinux2014). Both wheels are built here, from the sdist,
# with Zig's clang against Zig's glibc 2.17 stubs and its own libc++ linked in
# statically; each is then checked: auditwheel at its tag, abi3audit --strict,
# one exported symbol, nothing needed at run time but the C library.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=tools/common.sh
source "$root/tools/common.sh"

dist=${VORN_DIST:-$root/dist}
cache=$(release_cache)
archs=(${VORN_RELEASE_ARCHS:-x86_64 aarch64})
mkdir -p "$dist" "$cache"
dist=$(cd "$dist" && pwd)

step "build tools"
tools_venv "$cache/tools"
py=$cache/tools/bin/python
zig=$(zig_of "$cache/tools")
"$zig" version

version=$(sed -n 's/^version = "\(.*\)"$/\1/p' "$root/pyproject.toml" | head -n 1)
rm -f "$dist/vorn_hyst-$version.tar.gz"

step "sdist"
# It holds every file that git does not ignore, less pyproject.toml's
# sdist.exclude: files not yet added to git go in too.
if git -C "$root" rev-parse --git-dir >/dev/null 2>&1; then
    untracked=$(git -C "$root" ls-files --others --exclude-standard)
    [ -z "$untracked" ] || printf 'WARNING: the sdist holds files git does not track:\n%s\n' "$untracked" >&2
fi
pip_quiet "$py" -m build -q --sdist --no-isolation -o "$dist" "$root" >/dev/null
sdist=$dist/vorn_hyst-$version.tar.gz
[ -e "$sdist" ] || fail "no sdist $sdist"
echo "${sdist##*/}"

for arch in "${archs[@]}"; do
    step "wheel for $arch"
    target=$arch-linux-gnu.2.17
    headers=$cache/numpy-include-$arch
    numpy_headers "$cache/tools" "manylinux2014_$arch" "$headers"
    raw=$cache/raw-$arch
    rm -rf "$raw" "$dist"/vorn_hyst-"$version"-*_"$arch".whl
    VORN_ZIG=$zig VORN_ZIG_TARGET=$target _PYTHON_HOST_PLATFORM=linux-$arch \
        pip_quiet "$py" -m pip wheel -q --no-deps --no-build-isolation -w "$raw" "$sdist" \
        --config-settings=build-dir="$cache/build-$arch" \
        --config-settings=cmake.define.CMAKE_TOOLCHAIN_FILE="$root/cmake/zig-toolchain.cmake" \
        --config-settings=cmake.define.VORN_NUMPY_INCLUDE_DIR="$headers" >/dev/null
    wheels=("$raw"/vorn_hyst-*-cp310-abi3-linux_"$arch".whl)
    [ -e "${wheels[0]}" ] || fail "no linux_$arch wheel: $(ls "$raw")"
    # There is nothing to graft in, so the wheel is only retagged; auditwheel
    # show below checks the tag against the symbol versions and libraries.
    "$py" -m wheel tags --remove --platform-tag "manylinux_2_17_$arch.manylinux2014_$arch" \
        "${wheels[0]}" >/dev/null
    mv "$raw"/vorn_hyst-*-manylinux*.whl "$dist/"
    wheel=("$dist"/vorn_hyst-"$version"-cp310-abi3-*manylinux_2_17_"$arch".whl)
    [ -e "${wheel[0]}" ] || fail "retagging wrote no manylinux_2_17_$arch wheel"
    "$cache/tools/bin/auditwheel" show "${wheel[0]}" >"$cache/show-$arch.txt"
    # auditwheel wraps its lines.
    tr -s '\n ' '  ' <"$cache/show-$arch.txt" |
        grep -q "consistent with the following platform tag: \"manylinux_2_17_$arch\"" ||
        { cat "$cache/show-$arch.txt"; fail "auditwheel show: ${wheel[0]} is not manylinux_2_17_$arch"; }
    echo "auditwheel show: manylinux_2_17_$arch"
    "$py" "$root/tools/check_wheel.py" "${wheel[0]}"
    "$cache/tools/bin/abi3audit" --strict --report "${wheel[0]}" >/dev/null ||
        { "$cache/tools/bin/abi3audit" --strict --verbose "${wheel[0]}"; fail "abi3audit: ${wheel[0]}"; }
    echo "abi3audit --strict: clean"
done

step "dist/"
ls -l "$dist" | grep "vorn_hyst-$version"
