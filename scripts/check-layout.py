#!/usr/bin/env python3
"""Checks that includes between the source folders point down the layering below.

Every header is included by its bare name (all folders are on the include path), so this also
checks that no two headers share a name. Run by ctest in the native tree; prints each fault.
"""
import pathlib
import re
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent

# Folder -> the folders its units may include besides their own. A folder appears after
# everything it may include.
FRAMEWORK = ["Shared", "Shared/text"]
ALLOWED = {
    "Shared/text": [],
    "Shared": ["Shared/text"],
    "Shared/engine": FRAMEWORK,
    "Shared/netsetup": FRAMEWORK + ["Shared/engine"],
    "share/netsetup": FRAMEWORK + ["Shared/engine", "Shared/netsetup"],
    "share/server": FRAMEWORK + ["Shared/engine", "Shared/netsetup", "share/netsetup"],
    "share/update": FRAMEWORK + ["Shared/engine", "share/netsetup"],
    "share/shell": FRAMEWORK + ["Shared/engine", "Shared/netsetup", "share/netsetup",
                                "share/server", "share/update", "resources"],
    "downloader/engine": FRAMEWORK + ["Shared/engine"],
    "downloader/window": FRAMEWORK + ["Shared/engine", "downloader/engine", "resources"],
}
# Records that a lower folder adds to but a higher one owns, named one by one.
SHARED_RECORDS = {
    # The traffic totals live with the listener; the service requests add their bytes too.
    ("share/netsetup", "TrafficCounters.h"),
}

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def main():
    headers = {}
    faults = []
    for folder in ALLOWED.keys() | {"resources"}:
        for path in sorted((ROOT / folder).glob("*.h")):
            if path.name in headers:
                faults.append(f"{path.relative_to(ROOT)}: header name also used by "
                              f"{headers[path.name]}/{path.name}")
            headers[path.name] = folder
    for folder, allowed in ALLOWED.items():
        may = set(allowed) | {folder}
        for path in sorted((ROOT / folder).iterdir()):
            if path.suffix not in (".cpp", ".h"):
                continue
            for name in INCLUDE.findall(path.read_text(encoding="utf-8", errors="replace")):
                owner = headers.get(name)
                if owner is None or owner in may or (folder, name) in SHARED_RECORDS:
                    continue
                faults.append(f"{path.relative_to(ROOT)}: includes {owner}/{name}")
    for fault in faults:
        print(fault)
    print(f"layout: {len(faults)} fault(s)")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
