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

# install_module VENV BUILD-DIR SANITIZE(ON|OFF): the module from this checkout
# into VENV (made with $PYTHON, default python3, when missing), built without
# isolation when the build backend is at hand there (no network needed).
install_module() {
    local venv=$1 build=$2 sanitize=$3
    if [[ ! -x $venv/bin/python ]]; then
        say "${PYTHON:-python3} -m venv --system-site-packages $venv"
        "${PYTHON:-python3}" -m venv --system-site-packages "$venv"
    fi
    local isolation=(--no-build-isolation)
    "$venv/bin/python" -c "import scikit_build_core, numpy" 2>/dev/null || isolation=()
    say "VORN_SANITIZE=$sanitize $venv/bin/python -m pip install --no-deps --force-reinstall ${isolation[*]} -C build-dir=$build $root"
    (cd "$root" && VORN_SANITIZE=$sanitize pip_quiet "$venv/bin/python" -m pip install -q --no-deps \
        --force-reinstall "${isolation[@]}" -C build-dir="$build" .)
}
