#!/usr/bin/env bash
# Writes the seed corpus of every fuzz target under OUT/<target>/: small texts for the
# key=value reader and the level file, byte strings for the string type, and archives
# made with bsdtar and python3 for the extractor, the regression archives of the tests
# among them. Usage: fuzz/make-corpus.sh OUT
set -euo pipefail
out=$1
src=$(cd "$(dirname "$0")/.." && pwd)
rm -rf "$out"
mkdir -p "$out"/{config,log_levels,ustring,extractor}

# key=value texts: entries, comments, quoting, blanks and line ends, and malformed lines.
c=$out/config
printf 'a=1\nb = two\n' >"$c/plain"
printf '# comment\n\n  key=value # trailing\n' >"$c/comments"
printf 'k="a b"\nq='"'"'x "y"'"'"'\nempty=""\n' >"$c/quoted"
printf 'k\t=\tv\r\n=nokey\n' >"$c/blanks"
printf 'k=\n' >"$c/no-value"
printf 'a=1\nno equals sign\nb=2\n' >"$c/malformed"
printf 'k="unterminated\n' >"$c/unterminated"
printf 'a=1\0b=2\nc=3\n' >"$c/nul"
printf 'pid=4242\n' >"$c/pid"
python3 -c 'import sys; sys.stdout.write("k=" + "v" * 9000 + "\nz=1\n")' >"$c/long-line"
cp "$src/ui-client/launcher/linux/resources/launcher.debug" "$c/level-file"

# Level files: the shipped one, and values at and past the edges.
l=$out/log_levels
cp "$src/ui-client/launcher/linux/resources/launcher.debug" "$l/shipped"
printf 'launcher_debug=7\nservice_debug=3\n' >"$l/levels"
printf 'a=-1\nb=abc\nc= +5\nd=7x\n' >"$l/odd-values"
printf 'a=99999999999999999999\nb=-99999999999999999999\n' >"$l/overflow"
printf 'a=7\nbad line\n' >"$l/malformed"

# Byte strings; the string target splits its input itself, so these only carry text
# worth starting from: paths, composed and decomposed letters, scripts, bad UTF-8.
python3 - "$out/ustring" <<'PY'
import sys
out = sys.argv[1]
seeds = {
    "path": "/home/user/.QuenvaleDrive/QuenvaleDrive.app\\x/bin".encode(),
    "latin": "caf\u00e9 cafe\u0301 \u00c5\u212b \u2126".encode(),
    "cjk-emoji": "\u540d\u524d/\U0001F600 \\x\u540d".encode(),
    "hangul": "\ud55c\uad6d\uc5b4 \u1112\u1161\u11ab".encode(),
    "compat": "\ufb01 \u1e9b\u0323 \u0344".encode(),
    "bad-utf8": b"\xc0\x80 \xed\xa0\x80 \x80abc \xf4\x90\x80\x80 \xe2\x82",
    "utf16-units": b"ab\\x" + "\ud83d\ude00".encode("utf-16-le", "surrogatepass")
                   + "\udc00x".encode("utf-16-le", "surrogatepass"),
    "search": b"aXbXcXAbC\\xXb\\x\x05\x00\x03",
}
for name, data in seeds.items():
    with open(out + "/" + name, "wb") as f:
        f.write(data)
PY

# Archives: one small tree in every common form, entries aimed outside the target, and
# the archives whose entries name the target itself.
x=$out/extractor
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
tree=$work/tree
mkdir -p "$tree/app/bin" "$tree/app/lib"
printf run >"$tree/app/bin/run"
chmod 755 "$tree/app/bin/run"
printf info >"$tree/app/INFO"
ln "$tree/app/bin/run" "$tree/app/bin/run-hard"
ln -s bin/run "$tree/app/runlink"
ln -s ../outside "$tree/app/up"
for form in ustar pax gnutar newc odc zip 7zip; do
  bsdtar -c --format "$form" -f "$x/tree.$form" -C "$tree" app
done
bsdtar -c --format zip --options zip:compression=store -f "$x/tree.stored.zip" -C "$tree" app
bsdtar -cz -f "$x/tree.tar.gz" -C "$tree" app
bsdtar -cJ -f "$x/tree.tar.xz" -C "$tree" app
bsdtar -cj -f "$x/tree.tar.bz2" -C "$tree" app
bsdtar -c --format newc -z -f "$x/tree.cpio.gz" -C "$tree" app
bsdtar -c --format ar -f "$x/flat.ar" -C "$tree/app" INFO

python3 - "$work/hostile.tar" <<'PY'
import io, sys, tarfile
with tarfile.open(sys.argv[1], "w", format=tarfile.PAX_FORMAT) as t:
    def add(name, kind=tarfile.REGTYPE, link="", data=b""):
        info = tarfile.TarInfo(name)
        info.type, info.linkname, info.size, info.mode = kind, link, len(data), 0o644
        t.addfile(info, io.BytesIO(data))
    add("./a", data=b"dot")
    add("/abs", data=b"abs")
    add("l", tarfile.SYMTYPE, "../outside")
    add("l/evil", data=b"through a link")
    add("root", tarfile.SYMTYPE, "/")
    add("root/tmp/evil", data=b"through root")
    add("h", tarfile.LNKTYPE, "../outside/victim")
    add("habs", tarfile.LNKTYPE, "/etc/hostname")
    add("d/../../escape", data=b"dotdot")
PY
cp "$work/hostile.tar" "$x/"
bsdtar -c --format newc -f "$x/hostile.newc" @"$work/hostile.tar"
# zip holds no hard links; bsdtar says so and leaves them out.
bsdtar -c --format zip -f "$x/hostile.zip" @"$work/hostile.tar" 2>/dev/null

# Regression seeds: entries that name the target itself, each kind once, and the folder
# entries "." and "./" that must still extract.
python3 "$src/tests/ui-client/launcher/data/target_entries.py" "$x"
mkdir "$work/empty"
bsdtar -c -n --format newc -f "$x/dot-dir.cpio" -C "$work/empty" .
for row in dot-symlink dot-symlink-alone dot-fifo-alone dot-hardlink-alone; do
  bsdtar -c --format newc -f "$x/$row.newc" @"$x/$row.tar"
done
