#!/usr/bin/env python3
"""Writes the entries of a compile database whose source file is the
project's own code under the given folders (relative to the source root) and
still exists, so the static checkers see neither tests, GoogleTest nor files
that were removed since the build was configured.

usage: project-compile-db.py BUILD/compile_commands.json SOURCE_ROOT OUT_DIR FOLDER...
Prints the kept source files, one a line.
"""
import json
import os
import sys


def main():
    database, root, out_dir, *folders = sys.argv[1:]
    root = os.path.realpath(root)
    kept = []
    with open(database) as f:
        for entry in json.load(f):
            path = os.path.realpath(os.path.join(entry["directory"], entry["file"]))
            rel = os.path.relpath(path, root)
            if rel.split(os.sep)[0] in folders and os.path.exists(path):
                kept.append(entry)
                print(path)
    with open(os.path.join(out_dir, "compile_commands.json"), "w") as f:
        json.dump(kept, f, indent=1)


if __name__ == "__main__":
    main()
