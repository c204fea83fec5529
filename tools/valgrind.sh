#!/usr/bin/env bash
# Builds the module (plain release build) into a venv of its own, runs a
# short tests/support/leak_check.py under valgrind's memcheck against it and
# fails on any memory error, or any definite or indirect loss, whose stack
# passes through the module.
#
# The interpreter frees little at exit, so losses are counted only when the
# module's shared object is on the allocation stack; the script imports NumPy
# before the first call, so NumPy's own start-up never runs under the module.
#
# Usage: bash tools/valgrind.sh [calls per case, default 20]
# Environment: VORN_VALGRIND_VENV (default /tmp/vorn-valgrind), PYTHON.
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
venv=${VORN_VALGRIND_VENV:-/tmp/vorn-valgrind}
calls=${1:-20}
start=$SECONDS
if ! have valgrind; then
  skip_leg "valgrind.sh" "valgrind (Debian: valgrind, Fedora: valgrind; not on macOS arm64)"
  exit 0
fi
install_module "$venv" build/valgrind OFF
# The real interpreter, not a wrapper script that would exec it.
python=$("$venv/bin/python" -c "import sys; print(sys.executable)")
out=$(mktemp -d "${TMPDIR:-/tmp}/vorn-valgrind.XXXXXX")
trap 'rm -rf "$out"' EXIT

cmd=(valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite,indirect
     --num-callers=40 --xml=yes "--xml-file=$out/%p.xml" --trace-children=yes
     "$python" "$root/tests/support/leak_check.py" --calls "$calls" --rounds 2 --refcounts-only)
printf '+ PYTHONMALLOC=malloc %s\n' "${cmd[*]}" >&2
status=0
(cd /tmp && PYTHONMALLOC=malloc "${cmd[@]}") || status=$?

set +e
"$python" - "$out" "$status" <<'EOF'
import pathlib
import sys
import xml.etree.ElementTree as ET

out, status = pathlib.Path(sys.argv[1]), int(sys.argv[2])
kinds = {}
ours = []
files = sorted(out.glob("*.xml"))
errors = [e for path in files for e in ET.parse(path).getroot().iter("error")]
for error in errors:
    kind = error.findtext("kind")
    kinds[kind] = kinds.get(kind, 0) + 1
    if kind.startswith("Leak_") and kind not in ("Leak_DefinitelyLost", "Leak_IndirectlyLost"):
        continue
    # The error's own stack, and for a bad access the stack that allocated
    # the block, so that a read past a result buffer by NumPy counts too.
    frames = [f for stack in error.findall("stack") for f in stack.findall("frame")]
    if any("vorn_hyst" in (f.findtext("obj") or "") for f in frames):
        what = error.findtext("what") or error.findtext("xwhat/text")
        top = [f.findtext("fn") or f.findtext("obj") for f in frames[:8]]
        ours.append(f"{kind}: {what}\n    " + "\n    ".join(map(str, top)))
for finding in ours:
    print("valgrind.sh: FAIL", finding)
summary = ", ".join(f"{n} {k}" for k, n in sorted(kinds.items())) or "none"
print(f"valgrind.sh: {len(files)} processes; records in all: {summary}; "
      f"through the module: {len(ours)}")
sys.exit(1 if ours or status != 0 else 0)
EOF
rc=$?
echo "valgrind.sh: leak_check exit status $status, $((SECONDS - start)) s in all" >&2
exit $rc
