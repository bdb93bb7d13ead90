#!/usr/bin/python3
"""Gives a Debian package the Installed-Size that dpkg-gencontrol would.

  packaging/installed-size.py PACKAGE.deb

CPack's DEB generator counts the target of every symlink (each launcher in
/usr/bin then weighs as much as its program) and 4 KiB for every directory.
dpkg's rule, used here: every regular file and symlink in KiB rounded up,
each on its own, and 1 KiB for anything else (a directory, the package's top
folder included); a hard link counts once.

Only the control member's control file changes: the data member, and with it
every installed file and the md5sums, stay byte for byte as CPack made them.
Prints the value it set.
"""
import gzip
import io
import lzma
import math
import os
import sys
import tarfile

AR_MAGIC = b"!<arch>\n"
AR_HEADER = 60


def ar_members(archive):
    """[(header bytes, name, data)] of an ar archive, in order."""
    if not archive.startswith(AR_MAGIC):
        raise ValueError("not an ar archive")
    members = []
    at = len(AR_MAGIC)
    while at < len(archive):
        header = archive[at:at + AR_HEADER]
        if len(header) != AR_HEADER or header[58:60] != b"`\n":
            raise ValueError("damaged ar member header at byte %d" % at)
        name = header[:16].decode("ascii").rstrip(" ").rstrip("/")
        size = int(header[48:58].decode("ascii").strip())
        data = archive[at + AR_HEADER:at + AR_HEADER + size]
        if len(data) != size:
            raise ValueError("ar member %s is cut short" % name)
        members.append((header, name, data))
        at += AR_HEADER + size + (size % 2)
    return members


def ar_archive(members):
    out = bytearray(AR_MAGIC)
    for header, _, data in members:
        out += header[:48] + ("%-10d" % len(data)).encode("ascii") + header[58:60]
        out += data
        if len(data) % 2:
            out += b"\n"
    return bytes(out)


def installed_size(data_member):
    size = 1  # the top folder
    with tarfile.open(fileobj=io.BytesIO(data_member), mode="r:*") as data:
        for entry in data:
            if entry.name in (".", "./"):
                continue
            if entry.isfile():
                size += math.ceil(entry.size / 1024)
            elif entry.issym():
                size += math.ceil(len(os.fsencode(entry.linkname)) / 1024)
            elif not entry.islnk():
                size += 1
    return size


def with_installed_size(control_member, member_name, size):
    """The control member again, its control file's Installed-Size set."""
    found = False
    rebuilt = io.BytesIO()
    with tarfile.open(fileobj=io.BytesIO(control_member), mode="r:*") as old, \
            tarfile.open(fileobj=rebuilt, mode="w", format=tarfile.GNU_FORMAT) as new:
        for entry in old:
            content = old.extractfile(entry) if entry.isfile() else None
            if entry.name in ("control", "./control"):
                lines = content.read().decode("utf-8").split("\n")
                for i, line in enumerate(lines):
                    if line.startswith("Installed-Size:"):
                        lines[i] = "Installed-Size: %d" % size
                        found = True
                text = "\n".join(lines).encode("utf-8")
                entry.size = len(text)
                content = io.BytesIO(text)
            new.addfile(entry, content)
    if not found:
        raise ValueError("the control file has no Installed-Size field")
    tar = rebuilt.getvalue()
    if member_name.endswith(".gz"):
        # No name and no time in the header: the same package on every build.
        return gzip.compress(tar, compresslevel=9, mtime=0)
    if member_name.endswith(".xz"):
        return lzma.compress(tar, format=lzma.FORMAT_XZ)
    if member_name == "control.tar":
        return tar
    raise ValueError("cannot rewrite a %s member" % member_name)


def main(argv):
    if len(argv) != 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    path = argv[1]
    try:
        with open(path, "rb") as f:
            members = ar_members(f.read())
        names = [name for _, name, _ in members]
        if (names[:1] != ["debian-binary"] or not any(n.startswith("control.tar") for n in names)
                or not any(n.startswith("data.tar") for n in names)):
            raise ValueError("not a Debian package")
        size = installed_size(next(d for _, name, d in members if name.startswith("data.tar")))
        rewritten = []
        for header, name, member in members:
            if name.startswith("control.tar"):
                member = with_installed_size(member, name, size)
            rewritten.append((header, name, member))
        temporary = path + ".installed-size"
        try:
            with open(temporary, "wb") as f:
                f.write(ar_archive(rewritten))
            os.replace(temporary, path)
        finally:
            if os.path.exists(temporary):
                os.remove(temporary)
    except (OSError, ValueError, tarfile.TarError, EOFError, lzma.LZMAError) as e:
        print("installed-size: %s: %s" % (path, e), file=sys.stderr)
        return 1
    print(size)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
