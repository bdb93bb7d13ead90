#!/usr/bin/env python3
"""Only net/ calls the system's socket functions directly.

Usage: check-socket-calls.py ROOT FOLDER...

Reads every C++ source and header under ROOT/FOLDER (for each FOLDER given)
and reports each direct call of socket, bind, listen, accept, accept4,
connect, sendto, sendmsg, sendmmsg, recvfrom, recvmsg or recvmmsg, with comments and string
literals left out. A call counts when it is global (::bind(...)) or
unqualified (bind(...)), never when it goes through an object (s.Bind,
p->connect) or another scope (std::bind). In a file that uses Qt, unqualified
connect and accept are the QObject and QDialog members, so there only the
global form counts. Exit 0 when nothing is found, 1 otherwise.
"""
import os
import re
import sys

CALLS = r"socket|bind|listen|accept4?|connect|sendto|sendmsg|sendmmsg|recvfrom|recvmsg|recvmmsg"
# Not preceded by a name, member access or scope: group 1 is "::" for the
# global form, group 2 the function.
CALL = re.compile(r"(?<![\w.>:])(::)?(" + CALLS + r")\s*\(")
QT_INCLUDE = re.compile(r'^\s*#\s*include\s*<Q', re.M)
SOURCE_ENDINGS = (".cpp", ".cc", ".cxx", ".h", ".hpp")


def strip_comments_and_strings(text):
    """Blanks comments and literals, keeping line breaks so lines still count."""
    out = []
    i, n = 0, len(text)
    while i < n:
        c = text[i]
        if text.startswith("//", i):
            j = text.find("\n", i)
            i = n if j < 0 else j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            out.append("\n" * text.count("\n", i, j))
            i = j
        elif c == '"' or c == "'":
            # Raw strings are not used for anything a call could hide in.
            j = i + 1
            while j < n and text[j] != c and text[j] != "\n":
                j += 2 if text[j] == "\\" else 1
            out.append(c + c)
            i = j + 1
        else:
            out.append(c)
            i += 1
    return "".join(out)


def violations(path):
    with open(path, encoding="utf-8", errors="replace") as f:
        text = f.read()
    code = strip_comments_and_strings(text)
    uses_qt = QT_INCLUDE.search(text) is not None
    found = []
    for number, line in enumerate(code.split("\n"), 1):
        for m in CALL.finditer(line):
            qt_member = uses_qt and not m.group(1) and m.group(2) in ("connect", "accept")
            if not qt_member:
                found.append((number, m.group(2)))
    return found


def main(argv):
    if len(argv) < 3:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    root, folders = argv[1], argv[2:]
    count = 0
    for folder in folders:
        top = os.path.join(root, folder)
        if not os.path.isdir(top):
            print(f"check-socket-calls: no folder {top}", file=sys.stderr)
            return 2
        for directory, subdirs, files in os.walk(top):
            subdirs.sort()
            for name in sorted(files):
                if not name.endswith(SOURCE_ENDINGS):
                    continue
                path = os.path.join(directory, name)
                for number, call in violations(path):
                    print(f"{os.path.relpath(path, root)}:{number}: {call}() called directly; use net/Socket.h")
                    count += 1
    print(f"{count} direct socket call(s) outside net/ in: {' '.join(folders)}")
    return 1 if count else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
