#!/usr/bin/env python3
"""Writes archives whose first entry names the target folder itself ("", ".", "./", "/").

Usage: target_entries.py OUTDIR

Each archive holds that entry, then a plain file "after". The extractor must refuse every
entry that is not a folder and leave the target as it was; the folder entries (the
*-dir archives) extract as a no-op, and "after" is written. The *-alone archives hold
the entry only: the damage it did would not be mended by a later entry.
"""
import io
import sys
import tarfile
import time
import zipfile


def tar(path, name, kind, linkname=""):
    for suffix, after in ((".tar", b"after"), ("-alone.tar", None)):
        with tarfile.open(path + suffix, "w", format=tarfile.PAX_FORMAT) as t:
            info = tarfile.TarInfo(name)
            info.type = kind
            info.linkname = linkname
            info.mode = 0o755 if kind == tarfile.DIRTYPE else 0o644
            info.mtime = int(time.time())
            t.addfile(info)
            if after is not None:
                info = tarfile.TarInfo("after")
                info.size = len(after)
                info.mode = 0o644
                info.mtime = int(time.time())
                t.addfile(info, io.BytesIO(after))


def main(out):
    # The writer reduces <target>/ and <target>/. to the target: a file with an empty
    # name lands on the target itself. Stored, as the zip row was found.
    for suffix, after in ((".zip", True), ("-alone.zip", False)):
        with zipfile.ZipFile(out + "/empty-file" + suffix, "w", zipfile.ZIP_STORED) as z:
            z.writestr(zipfile.ZipInfo(""), b"entry data")
            if after:
                z.writestr("after", b"after")
    # A link chosen by the archive, pointing outside the target.
    tar(out + "/dot-symlink", ".", tarfile.SYMTYPE, "../outside")
    tar(out + "/dotslash-symlink", "./", tarfile.SYMTYPE, "../outside")
    tar(out + "/slash-symlink", "/", tarfile.SYMTYPE, "../outside")
    tar(out + "/dot-hardlink", ".", tarfile.LNKTYPE, "elsewhere")
    tar(out + "/dot-fifo", ".", tarfile.FIFOTYPE)
    # Folder entries: tarfile writes "./" for a folder named ".".
    tar(out + "/dotslash-dir", ".", tarfile.DIRTYPE)


if __name__ == "__main__":
    main(sys.argv[1])
