#!/usr/bin/env python3
"""A system-wide install whose package files all carry their build, replaced the way a
package upgrade unpacks: every new file written beside its old one as NAME.dpkg-new,
then each renamed over NAME, then the files the new build no longer has removed.

  unpack_like_dpkg.py ROOT BUILD FILES ORDER   ORDER: direct, info-first or info-last
  unpack_like_dpkg.py --check APP              prints "one build B" or what is mixed

Build B's package holds INFO, data/f0000 ... (each "build B file N") and data/only-B.
"direct" writes the files in place (a fresh install, or a quick change between runs).
"""
import os
import re
import sys


def set_build(text, build):
    return re.sub(r"(?m)^build_version=.*$", "build_version=%d" % build, text)


def new_files(root, build, count):
    package = os.path.join(root, "package", "skylodge")
    files = {}
    for info in (os.path.join(root, "INFO"), os.path.join(package, "INFO")):
        with open(info) as f:
            files[info] = set_build(f.read(), build)
    for n in range(count):
        files[os.path.join(package, "data", "f%04d" % n)] = "build %d file %d\n" % (build, n)
    files[os.path.join(package, "data", "only-%d" % build)] = "build %d only\n" % build
    return files


def unpack(root, build, count, order):
    files = new_files(root, build, count)
    data = os.path.join(root, "package", "skylodge", "data")
    os.makedirs(data, exist_ok=True)
    old = set(os.path.join(data, name) for name in os.listdir(data))
    if order == "direct":
        for path, text in files.items():
            with open(path, "w") as f:
                f.write(text)
    else:
        for path, text in files.items():
            with open(path + ".dpkg-new", "w") as f:
                f.write(text)
        infos = [p for p in files if os.path.basename(p) == "INFO"]
        rest = [p for p in files if os.path.basename(p) != "INFO"]
        for path in (infos + rest if order == "info-first" else rest + infos):
            os.rename(path + ".dpkg-new", path)
    for path in old - set(files):
        os.unlink(path)


def check(app):
    with open(os.path.join(app, "INFO")) as f:
        build = int(re.search(r"(?m)^build_version=(\d+)", f.read()).group(1))
    data = os.path.join(app, "data")
    names = sorted(os.listdir(data))
    wrong = [n for n in names if n.startswith("only-") and n != "only-%d" % build]
    wrong += [n for n in names if n.endswith(".dpkg-new")]
    for n in names:
        if n.startswith("f"):
            with open(os.path.join(data, n)) as f:
                if not f.read().startswith("build %d " % build):
                    wrong.append(n)
    if "only-%d" % build not in names:
        wrong.append("no only-%d" % build)
    if wrong:
        print("mixed: INFO says %d, but %d entries differ, e.g. %s" % (build, len(wrong), wrong[:3]))
    else:
        print("one build %d" % build)


if __name__ == "__main__":
    if sys.argv[1] == "--check":
        check(sys.argv[2])
    else:
        unpack(sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4])
