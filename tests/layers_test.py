#!/usr/bin/python3
"""The program's folders are layers, and every #include between them points down:

    shell -> inputpanel -> installer -> views, data, update -> platform

A folder includes its own headers and those of the layers below it, never one above or
beside it; no header includes itself through others (no include loop).
    layers_test.py SOURCE_DIR
"""
import os
import re
import sys

LAYERS = {"platform": 0, "update": 1, "data": 1, "views": 1, "installer": 2, "inputpanel": 3,
          "shell": 4}
root = sys.argv[1]
include = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)

home = {}     # header name -> folder
sources = {}  # path -> included names
for folder in LAYERS:
    for name in sorted(os.listdir(os.path.join(root, folder))):
        if name.endswith((".h", ".cpp")):
            path = os.path.join(folder, name)
            if name.endswith(".h"):
                home[name] = folder
            with open(os.path.join(root, path), encoding="utf-8") as f:
                sources[path] = include.findall(f.read())

faults = []
for path, names in sources.items():
    folder = path.split("/")[0]
    for name in names:
        if name.startswith("ui_"):  # forms compiled by uic: views and keyboard panels only
            if folder not in ("views", "inputpanel"):
                faults.append(f"{path} includes the form {name}")
            continue
        target = home.get(name)
        if target is None:
            faults.append(f"{path} includes {name}, which no layer holds")
        elif target != folder and LAYERS[target] >= LAYERS[folder]:
            faults.append(f"{path} ({folder}) includes {name} ({target}): not a lower layer")


def loop_from(header, seen, chain):
    for name in sources.get(f"{home[header]}/{header}", []):
        if name not in home:
            continue
        if name in chain:
            return chain[chain.index(name):] + [name]
        if name not in seen:
            seen.add(name)
            found = loop_from(name, seen, chain + [name])
            if found:
                return found
    return None


for header in sorted(home):
    found = loop_from(header, {header}, [header])
    if found:
        faults.append("include loop: " + " -> ".join(found))
        break

for fault in faults:
    print("FAIL:", fault)
if faults:
    sys.exit(1)
print(f"{len(sources)} files in {len(LAYERS)} layers; every include points down, no loop")
