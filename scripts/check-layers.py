#!/usr/bin/env python3
"""Fails when a source file includes a header from a folder above its own.

The folders stand in this order, lowest first; a file may include from its own folder or any
folder below it, never from one above. The order is the one the README's layout section draws.
"""
import pathlib
import re
import sys

ORDER = ["base", "platform", "logging", "pipeline", "controller", "hosting", "startup"]
INCLUDE = re.compile(r'^\s*#\s*include\s+"([a-z]+)/[^"]+"', re.M)


def main() -> int:
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ".") / "Source"
    rank = {name: i for i, name in enumerate(ORDER)}
    faults = []
    for path in sorted(root.rglob("*")):
        if path.suffix not in (".h", ".cpp") or not path.is_file():
            continue
        own = path.relative_to(root).parts[0]
        if own not in rank:
            faults.append(f"{path}: folder {own} has no place in the order")
            continue
        for folder in INCLUDE.findall(path.read_text(encoding="utf-8", errors="replace")):
            if folder in rank and rank[folder] > rank[own]:
                faults.append(f"{path}: includes from {folder}/, which stands above {own}/")
    for line in faults:
        print(line)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
