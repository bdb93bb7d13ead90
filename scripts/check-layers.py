#!/usr/bin/python3
"""Checks the one-way layering of the sources by reading their #include lines.

  scripts/check-layers.py [SOURCE_DIR]

Rules:
  - explorer/res < protocol < operations < upgrade < session are plain C++:
    a plain layer includes only itself or lower plain layers, never a ui/
    folder, never app/ or ctl/, never Qt.
  - A ui/ folder holds widgets: it includes the ui/ folders of its own or
    lower layers and the plain layers that describe devices (res,
    protocol), never operations/, upgrade/ or session/ (what runs on a
    device is decided above the widgets), never app/ or ctl/.
  - app/ owns the window and its handlers, ctl/ the command line: they are
    two front-ends on session/, and nothing outside each includes it.
  - Quillbox/, tools/ and net/ never include explorer/; net/ is the bottom
    of everything and includes neither Quillbox/ nor tools/.
Tests and benchmarks may include anything.

Prints one line per broken rule and exits 1, or exits 0 when all hold.
"""
import os
import re
import sys

PLAIN = ["res", "protocol", "operations", "upgrade", "session"]
# Plain layers a ui/ folder may include: the ones that describe a device,
# not the ones that run operations on it.
UI_MAY_INCLUDE = {"res", "protocol"}
SOURCE_SUFFIXES = (".h", ".hpp", ".cpp", ".cc")
CHECKED_ROOTS = ["explorer", "Quillbox", "tools", "net"]
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^">]+)[">]')
QT_HEADER = re.compile(r"^Q[A-Za-z0-9]*(/|$)")

# Files whose includes are being moved out in a change of their own; an
# entry that no longer breaks a rule must be removed from here.
ALLOWED = set()


def classify(path):
    """(kind, rank) of a repository path: kind is plain, ui, app, ctl,
    explorer, Quillbox, tools, net or other; rank orders the explorer layers."""
    parts = path.split("/")
    top = parts[0]
    if top != "explorer":
        return (top if top in ("Quillbox", "tools", "net") else "other", None)
    if len(parts) < 3:
        return ("explorer", None)
    if parts[1] in ("app", "ctl"):
        return (parts[1], None)
    if parts[1] in PLAIN:
        rank = PLAIN.index(parts[1])
        if len(parts) >= 4 and parts[2] == "ui":
            return ("ui", rank)
        return ("plain", rank)
    return ("explorer", None)


def resolve(root, including, target):
    """Repository path of an included project file, or None for anything
    else (system and library headers)."""
    if target.split("/")[0] in ("explorer", "Quillbox", "tools", "net"):
        return os.path.normpath(target)
    beside = os.path.normpath(os.path.join(os.path.dirname(including), target))
    if not beside.startswith("..") and os.path.isfile(os.path.join(root, beside)):
        return beside
    return None


def layer_name(path):
    kind, rank = classify(path)
    if kind == "plain":
        return PLAIN[rank]
    if kind == "ui":
        return PLAIN[rank] + "/ui"
    return kind


def broken_rule(source, target):
    """Why `source` may not include the project file `target`, or None."""
    skind, srank = classify(source)
    tkind, trank = classify(target)
    if skind in ("Quillbox", "tools", "net") and tkind in ("plain", "ui", "app", "ctl", "explorer"):
        return skind + "/ includes explorer/"
    if skind == "net" and tkind in ("Quillbox", "tools"):
        return "net/ includes " + tkind + "/"
    if tkind in ("app", "ctl") and skind != tkind:
        return layer_name(source) + " includes " + tkind + "/"
    if skind == "plain":
        if tkind == "ui":
            return layer_name(source) + " includes a ui/ folder (" + layer_name(target) + ")"
        if tkind == "plain" and trank > srank:
            return layer_name(source) + " includes the higher layer " + layer_name(target)
    if skind == "ui" and tkind == "ui" and trank > srank:
        return layer_name(source) + " includes the higher ui/ folder " + layer_name(target)
    if skind == "ui" and tkind == "plain" and PLAIN[trank] not in UI_MAY_INCLUDE:
        return layer_name(source) + " includes " + layer_name(target) + "/ (widgets show devices; operations run above them)"
    return None


def sources(root):
    for top in CHECKED_ROOTS:
        for folder, _, names in os.walk(os.path.join(root, top)):
            for name in sorted(names):
                if name.endswith(SOURCE_SUFFIXES):
                    yield os.path.relpath(os.path.join(folder, name), root)


def main():
    root = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), ".."))
    faults = []
    allowed_used = set()
    for source in sorted(sources(root)):
        with open(os.path.join(root, source), encoding="utf-8", errors="replace") as f:
            lines = f.readlines()
        for number, line in enumerate(lines, 1):
            m = INCLUDE.match(line)
            if not m:
                continue
            target_text = m.group(2)
            where = "%s:%d: #include %s" % (source, number, target_text)
            if classify(source)[0] == "plain" and m.group(1) == "<" and QT_HEADER.match(target_text):
                faults.append(where + ": " + layer_name(source) + " includes Qt")
                continue
            target = resolve(root, source, target_text)
            if target is None:
                continue
            why = broken_rule(source, target)
            if why is None:
                continue
            if (source, target) in ALLOWED:
                allowed_used.add((source, target))
                continue
            faults.append(where + ": " + why)
    for source, target in sorted(ALLOWED - allowed_used):
        faults.append("%s: no longer includes %s; remove it from ALLOWED in %s" %
                      (source, target, os.path.basename(__file__)))
    for fault in faults:
        print(fault)
    if faults:
        print("%d layer rule(s) broken" % len(faults))
        return 1
    print("layers: every include follows the rules")
    return 0


if __name__ == "__main__":
    sys.exit(main())
