#!/usr/bin/env python3
"""Fails when the modules under src/ include one another in a circle.

A module is a header with its sources (name.h, name.cpp and its _posix/_win32 backends). Each
module may use only those below it, so that a change at the bottom never has to be threaded
back up through a caller. Prints every circle found, as a path of modules.
"""
import pathlib
import re
import sys

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)\.h"', re.MULTILINE)


def module_of(path, root):
    name = path.relative_to(root).with_suffix("").as_posix()
    return re.sub(r"_(posix|win32)$", "", name)


def main():
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "src")
    uses = {}
    for path in sorted(root.rglob("*")):
        if path.suffix not in (".h", ".cpp"):
            continue
        module = module_of(path, root)
        for used in INCLUDE.findall(path.read_text(encoding="utf-8")):
            if used != module and (root / (used + ".h")).exists():
                uses.setdefault(module, set()).add(used)

    circles = []
    state = {}  # 1: on the current path, 2: done

    def visit(module, path):
        state[module] = 1
        for used in sorted(uses.get(module, ())):
            if state.get(used) == 1:
                circles.append(path[path.index(used):] + [used])
            elif used not in state:
                visit(used, path + [used])
        state[module] = 2

    for module in sorted(uses):
        if module not in state:
            visit(module, [module])
    for circle in circles:
        print("circle of modules: " + " -> ".join(circle))
    print(f"{len(uses)} modules use others; {len(circles)} circles")
    return 1 if circles else 0


if __name__ == "__main__":
    sys.exit(main())
