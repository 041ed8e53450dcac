#!/usr/bin/env python3
"""Checks that the folders of src/ include one another only downward.

Each folder of src/ is one layer. LAYERS below names, for each folder, the
folders right below it; a folder may include its own headers, those of the
folders it names, and, through them, everything below those. An include of
any other folder, of a folder missing from the table, or of <Python.h>
outside the binding is reported as FILE:LINE, and the exit status is 1.

    python3 scripts/check_layers.py [SRC_DIR]

The pytest suite runs it (tests/python/test_layers.py), so `make test` and
CI fail on a wrong-way include. Adding a folder is one line here.
"""

import re
import sys
from pathlib import Path

# folder: the folders right below it.
LAYERS = {
    "base": [],
    "json": ["base"],
    "store": ["base"],
    "domain": ["store", "json"],
    "protocol": ["domain"],
    "engine": ["protocol"],
    "sql": ["domain"],  # the database stores, beside protocol and engine
    "sqlite": ["sql"],  # the SQLite driver
    "postgres": ["sql"],  # the PostgreSQL driver
    "runtime": ["json"],  # the skill runtime, beside the agent core
    "binding": ["engine", "sqlite", "postgres", "runtime"],
}

# The only folder that may include the interpreter's headers.
PYTHON_FOLDERS = {"binding"}

INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')
SOURCE_SUFFIXES = {".h", ".hh", ".hpp", ".c", ".cc", ".cpp", ".inc"}


def allowed(layers: dict) -> dict:
    """Each folder's own name and everything below it. Raises ValueError on a
    cycle or on a name below that the table does not define."""
    done: dict = {}

    def visit(folder: str, path: tuple) -> set:
        if folder in path:
            raise ValueError("cycle in the layer table: " + " -> ".join(path + (folder,)))
        if folder not in layers:
            raise ValueError(f"{path[-1]} names {folder}, which the layer table lacks")
        if folder not in done:
            below = {folder}
            for b in layers[folder]:
                below |= visit(b, path + (folder,))
            done[folder] = below
        return done[folder]

    for folder in layers:
        visit(folder, ())
    return done


def violations(src: Path, layers: dict = LAYERS) -> list:
    """"FILE:LINE: message" for every include that breaks the layering."""
    may = allowed(layers)
    found = []
    for path in sorted(p for p in src.rglob("*") if p.suffix in SOURCE_SUFFIXES and p.is_file()):
        rel = path.relative_to(src)
        if len(rel.parts) < 2:
            continue  # files at the top of src/ belong to no layer
        folder = rel.parts[0]
        where = f"{src.name}/{rel}"
        if folder not in may:
            found.append(f"{where}:1: folder {folder} is not in the layer table")
            continue
        for number, line in enumerate(path.read_text(errors="replace").splitlines(), 1):
            m = INCLUDE.match(line)
            if m is None:
                continue
            kind, target = m.groups()
            if kind == "<":
                if target == "Python.h" and folder not in PYTHON_FOLDERS:
                    found.append(f"{where}:{number}: {folder} includes <Python.h>")
                continue
            head = target.split("/", 1)[0] if "/" in target else None
            if head is None or head not in may and not (src / head).is_dir():
                continue  # a header beside the file or a system header in quotes
            if head not in may:
                found.append(f"{where}:{number}: {folder} includes {target}; "
                             f"{head} is not in the layer table")
            elif head not in may[folder]:
                found.append(f"{where}:{number}: {folder} includes {target}, "
                             f"which is not below it")
    return found


def main(argv: list) -> int:
    src = Path(argv[1]) if len(argv) > 1 else Path(__file__).resolve().parents[1] / "src"
    found = violations(src)
    for v in found:
        print(v)
    if found:
        print(f"check_layers: {len(found)} include(s) against the layering", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
