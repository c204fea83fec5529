"""Writes a module-definition file for python3.dll, the stable ABI's DLL, with
what it exports as of CPython 3.10 (abi3info's copy of CPython's list), so that
MinGW's dlltool can make an import library to link the extension against."""

import sys

import abi3info

LIMIT = (3, 10)


def main(path: str) -> int:
    lines = ["LIBRARY python3.dll", "EXPORTS"]
    for table, suffix in ((abi3info.FUNCTIONS, ""), (abi3info.DATAS, " DATA")):
        for symbol, entry in sorted(table.items(), key=lambda item: item[0].name):
            if (entry.added.major, entry.added.minor) <= LIMIT:
                lines.append(f"    {symbol.name}{suffix}")
    with open(path, "w", encoding="ascii") as out:
        out.write("\n".join(lines) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
