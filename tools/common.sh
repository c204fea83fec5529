# Shell helpers of the scripts in tools/; sourced, not run.
# shellcheck shell=bash

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_ROOT_USER_ACTION=ignore

say() { printf '+ %s\n' "$*" >&2; }
step() { printf '\n==== %s\n' "$*"; }
fail() { printf 'FAILED: %s\n' "$*" >&2; exit 1; }

# This machine's pip configuration names local mirrors that may be absent; their
# warnings would drown the output. The callers' pipefail keeps pip's status.
pip_quiet() { "$@" 2>&1 | { grep -v "^WARNING: Location 'file:" || true; }; }

as_root() {
    if [ "$(id -u)" = 0 ]; then "$@"; elif command -v sudo >/dev/null; then sudo "$@"; else return 1; fi
}

have() { command -v "$1" >/dev/null 2>&1; }

# skip_leg WHAT HINT: a step whose tools are missing is skipped with a one-line
# notice of what to install; under CI=true, which must run everything, the
# missing tool fails the run instead.
skip_leg() {
    [ "${CI:-}" != true ] || fail "$1 needs $2 (CI=true runs every step)"
    printf 'SKIPPED: %s: needs %s\n' "$1" "$2" >&2
}

# debian_install [APT-OPTION...] PACKAGE...: Debian's packages, installed with
# apt-get as root (or through sudo); false where there is no apt-get or the
# install failed. The package lists are read once per script.
debian_install() {
    local arg names=""
    have apt-get || return 1
    for arg in "$@"; do
        case $arg in -*) ;; *) names="${names:+$names }$arg" ;; esac
    done
    step "installing Debian's $names"
    if [ -z "${apt_updated:-}" ]; then
        as_root apt-get update -qq || return 1
        apt_updated=1
    fi
    as_root apt-get install -y -qq "$@" >/dev/null
}

# compiles SOURCE FLAGS...: true when ${CXX:-c++} compiles and links SOURCE,
# a program's text, with FLAGS (a probe for the sanitizers' and fuzzer's
# runtimes, which not every system's compiler has).
compiles() {
    local source=$1 dir status=1
    shift
    dir=$(mktemp -d "${TMPDIR:-/tmp}/vorn-probe.XXXXXX")
    printf '%s\n' "$source" >"$dir/probe.cpp"
    if "${CXX:-c++}" "$@" "$dir/probe.cpp" -o "$dir/probe" >/dev/null 2>&1; then status=0; fi
    rm -rf "$dir"
    return "$status"
}

sanitizers_link() { compiles 'int main() { return 0; }' -fsanitize=address,undefined; }

# install_module VENV BUILD-DIR SANITIZE(ON|OFF): the module from this checkout
# into VENV (made with $PYTHON, default python3, when missing), built without
# isolation when the build backend is at hand there (no network needed).
install_module() {
    local venv=$1 build=$2 sanitize=$3
    if [[ ! -x $venv/bin/python ]]; then
        say "${PYTHON:-python3} -m venv --system-site-packages $venv"
        "${PYTHON:-python3}" -m venv --system-site-packages "$venv"
    fi
    local args=(--no-deps --force-reinstall -C build-dir="$build")
    if "$venv/bin/python" -c "import scikit_build_core, numpy" 2>/dev/null; then
        args+=(--no-build-isolation)
    fi
    say "VORN_SANITIZE=$sanitize $venv/bin/python -m pip install ${args[*]} $root"
    (cd "$root" && VORN_SANITIZE=$sanitize pip_quiet "$venv/bin/python" -m pip install -q "${args[@]}" .)
}

# ---- the release and the cross checks ----------------------------------------

# Where the release and the cross checks keep their tools and downloads between
# runs. Outside the source tree: the sdist is made from the tree, and wine's
# prefix links its drive Z: to the root of the file system.
release_cache() { echo "${VORN_RELEASE_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/vorn_hyst}"; }

# python_of MINOR: a CPython 3.MINOR found here (pyenv's or on PATH), or nothing.
python_of() {
    local p
    if command -v pyenv >/dev/null; then
        for p in "$(pyenv root)"/versions/3."$1".*/bin/python3; do
            [ -x "$p" ] && { echo "$p"; return; }
        done
    fi
    command -v "python3.$1" 2>/dev/null || true
}

# The wheel is abi3 from 3.10 on, so it is built with the oldest interpreter
# that can load it, 3.10, or the oldest newer one found (its tag is cp310-abi3
# all the same).
build_python() {
    local p=${VORN_BUILD_PYTHON:-} minor
    for minor in 10 11 12 13 14 15; do
        [ -n "$p" ] || p=$(python_of "$minor")
    done
    [ -n "$p" ] || fail "no CPython 3.10 or newer found (set VORN_BUILD_PYTHON)"
    echo "$p"
}

# tools_venv DIR: the build tools, installed once into DIR.
tools_venv() {
    local dir=$1
    if [ ! -x "$dir/bin/python" ] || ! "$dir/bin/python" -c 'import ziglang, auditwheel, wheel' 2>/dev/null; then
        rm -rf "$dir"
        "$(build_python)" -m venv "$dir"
        pip_quiet "$dir/bin/python" -m pip install -q "ziglang>=0.13" "scikit-build-core>=0.10" \
            "numpy>=2.0" build wheel auditwheel abi3audit cmake ninja
    fi
}

zig_of() {  # zig_of VENV: the zig executable the ziglang package ships
    "$1/bin/python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))'
}

# numpy_headers VENV PLATFORM DEST: NumPy's C headers as built for PLATFORM (a
# wheel platform tag), from the NumPy wheel of the version VENV has, for cp310.
numpy_headers() {
    local venv=$1 platform=$2 dest=$3 version
    [ -e "$dest/numpy/ndarraytypes.h" ] && return
    version=$("$venv/bin/python" -c 'import numpy; print(numpy.__version__)')
    rm -rf "$dest.download" && mkdir -p "$dest.download" "$dest"
    pip_quiet "$venv/bin/python" -m pip download -q --no-deps --only-binary=:all: \
        --platform "$platform" --python-version 3.10 --implementation cp \
        "numpy==$version" -d "$dest.download"
    "$venv/bin/python" - "$dest.download" "$dest" <<'PY'
import pathlib, sys, zipfile
[wheel] = pathlib.Path(sys.argv[1]).glob("numpy-*.whl")
with zipfile.ZipFile(wheel) as z:
    prefix = "numpy/_core/include/"
    for name in z.namelist():
        if name.startswith(prefix) and not name.endswith("/"):
            target = pathlib.Path(sys.argv[2], name[len(prefix):])
            target.parent.mkdir(parents=True, exist_ok=True)
            target.write_bytes(z.read(name))
PY
    rm -rf "$dest.download"
    [ -e "$dest/numpy/ndarraytypes.h" ] || fail "no NumPy headers in the $platform wheel"
}
