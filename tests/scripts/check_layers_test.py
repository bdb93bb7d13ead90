#!/usr/bin/python3
"""Each layer rule turns a tree that breaks it into a failure naming the
include, and a tree that keeps them all passes.

  tests/scripts/check_layers_test.py CHECKER
"""
import importlib.util
import os
import subprocess
import sys
import tempfile

CHECKER = sys.argv[1]

# A tree that keeps every rule, as the real one is laid out.
GOOD = {
    "explorer/res/Strings.h": "",
    "explorer/protocol/Scan.h": '#include "explorer/res/Strings.h"\n',
    "explorer/operations/Queue.h": '#include "explorer/protocol/Scan.h"\n',
    "explorer/upgrade/Worker.h": '#include "explorer/operations/Queue.h"\n',
    "explorer/session/Outcome.h": '#include "explorer/upgrade/Worker.h"\n#include <string>\n',
    "explorer/protocol/ui/List.h": '#include <QTreeWidget>\n#include "explorer/protocol/Scan.h"\n'
                                   '#include "explorer/res/Strings.h"\n',
    "explorer/app/Dlg.cpp": '#include "explorer/session/Outcome.h"\n#include "explorer/protocol/ui/List.h"\n',
    "explorer/ctl/Main.cpp": '#include "explorer/session/Outcome.h"\n',
    "net/Socket.h": "",
    "Quillbox/Ftp.cpp": '#include "net/Socket.h"\n',
}

# One broken rule each: the file that breaks it, what it includes, and a
# word the checker's line must carry.
BROKEN = [
    ("explorer/session/Bad.cpp", "<QString>", "includes Qt"),
    ("explorer/session/Bad.cpp", '"explorer/protocol/ui/List.h"', "ui/"),
    ("explorer/session/Bad.cpp", '"explorer/app/Dlg.cpp"', "app/"),
    ("explorer/session/Bad.cpp", '"explorer/ctl/Main.cpp"', "ctl/"),
    ("explorer/upgrade/Bad.cpp", '"explorer/session/Outcome.h"', "higher layer session"),
    ("explorer/app/Bad.cpp", '"explorer/ctl/Main.cpp"', "app includes ctl/"),
    ("explorer/ctl/Bad.cpp", '"explorer/app/Dlg.cpp"', "ctl includes app/"),
    ("explorer/protocol/ui/Bad.cpp", '"explorer/operations/Queue.h"', "operations"),
    ("explorer/res/ui/Bad.h", '"explorer/upgrade/Worker.h"', "upgrade"),
    ("explorer/protocol/ui/Bad.cpp", '"explorer/session/Outcome.h"', "session"),
    ("explorer/protocol/ui/Bad.cpp", '"explorer/ctl/Main.cpp"', "ctl/"),
    ("Quillbox/Bad.cpp", '"explorer/session/Outcome.h"', "explorer/"),
]


def run(tree):
    with tempfile.TemporaryDirectory() as root:
        for path, text in tree.items():
            full = os.path.join(root, path)
            os.makedirs(os.path.dirname(full), exist_ok=True)
            with open(full, "w", encoding="utf-8") as f:
                f.write(text)
        done = subprocess.run([sys.executable, CHECKER, root], capture_output=True, text=True, timeout=60)
        return done.returncode, done.stdout


def allowed_pairs():
    """The checker's own exceptions: a tree without them would fail for
    entries it no longer needs."""
    spec = importlib.util.spec_from_file_location("checker", CHECKER)
    checker = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(checker)
    return getattr(checker, "ALLOWED", set())


def main():
    for source, target in allowed_pairs():
        GOOD[source] = '#include "%s"\n' % target
        GOOD.setdefault(target, "")
    failures = []
    code, out = run(GOOD)
    if code != 0:
        failures.append("a tree keeping every rule failed:\n" + out)
    for path, target, word in BROKEN:
        tree = dict(GOOD)
        tree[path] = "#include %s\n" % target
        code, out = run(tree)
        line = next((l for l in out.splitlines() if l.startswith(path + ":1:")), "")
        if code != 1 or word not in line:
            failures.append("%s including %s: exit %d, expected a line with %r:\n%s" % (path, target, code, word, out))
    for f in failures:
        print(f)
    print("%d of %d cases failed" % (len(failures), len(BROKEN) + 1))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
