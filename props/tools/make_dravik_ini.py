#!/usr/bin/env python3
"""Writes the tag dictionary Dravik.ini from oxprops-ids.txt.

Usage: make_dravik_ini.py [OUTPUT]   (default: Dravik.ini at the repository root)

Rules for the [PropIDs] section:
  * one key per property ID, written "0x%08x" (eight lower-case digits);
  * entries of MS-OXPROPS (source O) win over those of the MAPI reference (M),
    and both over the PST format's store-internal ones (P); among entries of
    one source the first one with a PR_ name wins;
  * the name is the entry's first PR_ name with a trailing _A or _W removed,
    because a key names the property ID whatever its string type;
    an entry without any PR_ name is named by its canonical PidTag name;
  * IDs from 0x8000 up are not written: in a message store they are
    named-property IDs, whose meaning differs from store to store.

[PropType] holds the property types of MS-OXCDATA section 2.11.1, the
multi-valued ones with the 0x1000 bit included in the key.
[MAPIObjTypes] holds the MAPI object types (PR_OBJECT_TYPE values).
"""
import os
import re
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.join(HERE, "oxprops-ids.txt")
DEFAULT_OUT = os.path.join(HERE, "..", "..", "Dravik.ini")

PROP_TYPES = [
    (0x0000, "PT_UNSPECIFIED"),
    (0x0001, "PT_NULL"),
    (0x0002, "PT_I2"),
    (0x0003, "PT_LONG"),
    (0x0004, "PT_R4"),
    (0x0005, "PT_DOUBLE"),
    (0x0006, "PT_CURRENCY"),
    (0x0007, "PT_APPTIME"),
    (0x000A, "PT_ERROR"),
    (0x000B, "PT_BOOLEAN"),
    (0x000D, "PT_OBJECT"),
    (0x0014, "PT_I8"),
    (0x001E, "PT_STRING8"),
    (0x001F, "PT_UNICODE"),
    (0x0040, "PT_SYSTIME"),
    (0x0048, "PT_CLSID"),
    (0x00FB, "PT_SVREID"),
    (0x00FD, "PT_SRESTRICTION"),
    (0x00FE, "PT_ACTIONS"),
    (0x0102, "PT_BINARY"),
    (0x1002, "PT_MV_I2"),
    (0x1003, "PT_MV_LONG"),
    (0x1004, "PT_MV_R4"),
    (0x1005, "PT_MV_DOUBLE"),
    (0x1006, "PT_MV_CURRENCY"),
    (0x1007, "PT_MV_APPTIME"),
    (0x1014, "PT_MV_I8"),
    (0x101E, "PT_MV_STRING8"),
    (0x101F, "PT_MV_UNICODE"),
    (0x1040, "PT_MV_SYSTIME"),
    (0x1048, "PT_MV_CLSID"),
    (0x1102, "PT_MV_BINARY"),
]

OBJECT_TYPES = [
    (1, "MAPI_STORE"),
    (2, "MAPI_ADDRBOOK"),
    (3, "MAPI_FOLDER"),
    (4, "MAPI_ABCONT"),
    (5, "MAPI_MESSAGE"),
    (6, "MAPI_MAILUSER"),
    (7, "MAPI_ATTACH"),
    (8, "MAPI_DISTLIST"),
    (9, "MAPI_PROFSECT"),
    (10, "MAPI_STATUS"),
    (11, "MAPI_SESSION"),
    (12, "MAPI_FORMINFO"),
]


def read_entries(path):
    entries = []
    with open(path, encoding="ascii") as f:
        for lineno, line in enumerate(f, 1):
            line = line.strip()
            if not line or line.startswith("#"):
                continue
            fields = line.split()
            if len(fields) != 4 or fields[1] not in ("O", "M", "P"):
                sys.exit(f"{path}:{lineno}: malformed entry: {line!r}")
            pid = int(fields[0], 16)
            if not 0 <= pid <= 0xFFFF:
                sys.exit(f"{path}:{lineno}: property ID out of range: {fields[0]}")
            entries.append((pid, fields[1], fields[2], fields[3]))
    return entries


def pick_names(entries):
    rank = {"O": 0, "M": 1, "P": 2}
    best = {}
    for order, (pid, src, canonical, pr) in enumerate(entries):
        if pid >= 0x8000:
            continue
        if pr == "-":
            name = canonical
            score = (rank[src], 1, order)
        else:
            name = re.sub(r"_[AW]$", "", pr)
            score = (rank[src], 0, order)
        if pid not in best or score < best[pid][0]:
            best[pid] = (score, name)
    return {pid: name for pid, (score, name) in best.items()}


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else DEFAULT_OUT
    names = pick_names(read_entries(SOURCE))
    lines = [
        "; Dravik tag dictionary: names of property IDs, property types and",
        "; MAPI object types. Keys are \"0x%08x\" of the number (lower-case).",
        "; Written by props/tools/make_dravik_ini.py from props/tools/oxprops-ids.txt.",
        "",
        "[PropIDs]",
    ]
    lines += [f"0x{pid:08x}={names[pid]}" for pid in sorted(names)]
    lines += ["", "[PropType]"]
    lines += [f"0x{t:08x}={n}" for t, n in PROP_TYPES]
    lines += ["", "[MAPIObjTypes]"]
    lines += [f"0x{t:08x}={n}" for t, n in OBJECT_TYPES]
    with open(out, "w", encoding="ascii", newline="\n") as f:
        f.write("\n".join(lines) + "\n")
    print(f"{out}: {len(names)} property IDs, {len(PROP_TYPES)} types, "
          f"{len(OBJECT_TYPES)} object types")


if __name__ == "__main__":
    main()
