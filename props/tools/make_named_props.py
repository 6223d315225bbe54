#!/usr/bin/env python3
"""Writes NamedPropNames.inc, the table of named-property sets and canonical
names, from oxprops-named.txt.

Usage: make_named_props.py [OUTPUT]   (default: ../NamedPropNames.inc)

The output holds two C++ initialiser lists, included by props/NamedPropNames.cpp:
  kPropertySets: { "NAME", {Data1, Data2, Data3, {Data4...}} } in the order listed;
  kNamedNames:   { set index, LID (0 for a string name), "string name" or null,
                   "canonical name" }, sorted by set, then LID, then name, so
                   that the program finds an entry by binary search.
"""
import os
import re
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.join(HERE, "oxprops-named.txt")
DEFAULT_OUT = os.path.join(HERE, "..", "NamedPropNames.inc")
GUID = re.compile(r"^\{([0-9A-F]{8})-([0-9A-F]{4})-([0-9A-F]{4})-([0-9A-F]{4})-([0-9A-F]{12})\}$")


def c_string(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else DEFAULT_OUT
    sets, index, entries, seen = [], {}, [], set()
    with open(SOURCE, encoding="ascii") as f:
        for lineno, line in enumerate(f, 1):
            line = line.strip()
            if not line or line.startswith("#"):
                continue
            fields = line.split()
            if fields[0] == "set":
                m = GUID.match(fields[2]) if len(fields) == 3 else None
                if not m:
                    sys.exit(f"{SOURCE}:{lineno}: malformed set: {line!r}")
                index[fields[1]] = len(sets)
                sets.append((fields[1], m.groups()))
                continue
            if len(fields) != 3 or fields[0] not in index or not fields[2].startswith("Pid"):
                sys.exit(f"{SOURCE}:{lineno}: malformed entry: {line!r}")
            s, key, canonical = index[fields[0]], fields[1], fields[2]
            lid = int(key, 16) if re.fullmatch(r"0x[0-9A-Fa-f]{1,8}", key) else None
            ident = (s, lid if lid is not None else key)
            if ident in seen:
                continue  # the first entry names it
            seen.add(ident)
            entries.append((s, lid or 0, None if lid is not None else key, canonical))
    entries.sort(key=lambda e: (e[0], e[2] is not None, e[1], e[2] or ""))
    lines = ["// Written by props/tools/make_named_props.py from props/tools/oxprops-named.txt.",
             "// Do not edit: change the list and run the script again.", "",
             "#define DRAVIK_PROPERTY_SETS \\"]
    for name, g in sets:
        d4 = g[3] + g[4]
        bytes4 = ", ".join(f"0x{d4[i:i + 2]}" for i in range(0, 16, 2))
        lines.append(f"    {{{c_string(name)}, {{0x{g[0]}, 0x{g[1]}, 0x{g[2]}, {{{bytes4}}}}}}}, \\")
    lines += ["", "#define DRAVIK_NAMED_NAMES \\"]
    for s, lid, name, canonical in entries:
        lines.append(f"    {{{s}, 0x{lid:08X}, {c_string(name) if name else 'nullptr'}, {c_string(canonical)}}}, \\")
    lines.append("")
    with open(out, "w", encoding="ascii", newline="\n") as f:
        f.write("\n".join(lines) + "\n")
    print(f"{out}: {len(sets)} property sets, {len(entries)} named properties")


if __name__ == "__main__":
    main()
