"""Checks the extension modules in a Linux wheel: each exports its init
function and nothing else, and needs nothing at run time but glibc 2.17 or
older."""

import io
import posixpath
import re
import sys
import zipfile

from elftools.elf.dynamic import DynamicSection
from elftools.elf.elffile import ELFFile
from elftools.elf.gnuversions import GNUVerNeedSection

# glibc's own libraries; anything else (libstdc++, libgcc_s) would have to be
# on the user's machine in a recent enough version.
C_LIBRARY = re.compile(r"^(libc|libm|libdl|libpthread|librt|ld-linux[-a-z0-9_]*)\.so(\.\d+)*$")
NEWEST_GLIBC = (2, 17)


MODULES = ["vorn_hyst.abi3.so", "vorn_hyst_cli/_analysis.abi3.so"]


def problems_of(elf: ELFFile, init: str) -> list[str]:
    found = []
    dynsym = elf.get_section_by_name(".dynsym")
    exported = sorted(
        s.name for s in dynsym.iter_symbols()
        if s["st_shndx"] != "SHN_UNDEF" and s.name
        and s["st_info"]["bind"] in ("STB_GLOBAL", "STB_WEAK")
        and s["st_other"]["visibility"] in ("STV_DEFAULT", "STV_PROTECTED")
    )
    if exported != [init]:
        found.append(f"exports {exported}")
    for section in elf.iter_sections():
        if isinstance(section, DynamicSection):
            for tag in section.iter_tags("DT_NEEDED"):
                if not C_LIBRARY.match(tag.needed):
                    found.append(f"needs {tag.needed}")
        if isinstance(section, GNUVerNeedSection):
            for _, versions in section.iter_versions():
                for version in versions:
                    name = version.name
                    match = re.fullmatch(r"GLIBC_(\d+)\.(\d+)(?:\.\d+)?", name)
                    if match is None:
                        found.append(f"needs symbol version {name}")
                    elif tuple(map(int, match.groups())) > NEWEST_GLIBC:
                        found.append(f"needs {name}")
    return found


def main(wheel_path: str) -> int:
    found = []
    with zipfile.ZipFile(wheel_path) as wheel:
        modules = sorted(n for n in wheel.namelist() if n.endswith(".so"))
        if modules != MODULES:
            found.append(f"extension modules {modules}")
        for module in modules:
            init = "PyInit_" + posixpath.basename(module).split(".")[0]
            elf = ELFFile(io.BytesIO(wheel.read(module)))
            problems = problems_of(elf, init)
            found += [f"{module} {problem}" for problem in problems]
            if not problems:
                print(f"{module} ({elf.get_machine_arch()}): exports {init} only, "
                      "needs only glibc <= 2.17")
    for problem in found:
        print(f"{wheel_path}: {problem}", file=sys.stderr)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
