#!/usr/bin/env python3
"""Fails when a source file includes from a folder its folder does not depend on.

The folders and what each may use are read from the trawlbox_folder() calls
in the top CMakeLists.txt, so the build and this check cannot drift apart:
a folder may include itself and, transitively, what its DEPENDS name.
"""
import pathlib
import re
import sys

ROOT = pathlib.Path(__file__).resolve().parents[2]
FOLDER_CALL = re.compile(r"trawlbox_folder\((\w+)\s+(\w+)(.*?)\)\s*$", re.S | re.M)
INCLUDE = re.compile(r'^\s*#\s*include\s+"([\w]+)/', re.M)


def read_folders():
    """Maps each folder to the folders it lists under DEPENDS."""
    text = (ROOT / "CMakeLists.txt").read_text()
    targets, depends = {}, {}
    for target, folder, rest in FOLDER_CALL.findall(text):
        targets[target] = folder
        tail = rest.split("DEPENDS", 1)[1] if "DEPENDS" in rest else ""
        depends[folder] = tail.split()
    return {folder: {targets[d] for d in deps if d in targets}
            for folder, deps in depends.items()}


def reachable(folders):
    closure = {}
    for start in folders:
        seen, todo = {start}, [start]
        while todo:
            for below in folders[todo.pop()]:
                if below not in seen:
                    seen.add(below)
                    todo.append(below)
        closure[start] = seen
    return closure


def main():
    folders = read_folders()
    if len(folders) < 5:
        print("found only %d folders in CMakeLists.txt" % len(folders))
        return 1
    allowed = reachable(folders)
    faults = []
    for folder in sorted(folders):
        for source in sorted((ROOT / folder).glob("*.[ch]*")):
            for included in INCLUDE.findall(source.read_text(errors="replace")):
                if included in folders and included not in allowed[folder]:
                    faults.append("%s/%s includes %s/" % (folder, source.name, included))
    for fault in faults:
        print(fault)
    print("%d folders checked, %d includes against the layering" % (len(folders), len(faults)))
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
