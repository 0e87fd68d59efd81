#!/bin/sh
# Copies into PREFIX/lib the Qt and ICU libraries that the installed binaries (bin/, and
# lib/ with our modules, which the launcher loads when first needed) load, and
# what those load in turn of Qt, ICU and the libraries that Qt needs beyond the base of
# every desktop (packaging/allowed-depends: double-conversion, PCRE2's UTF-16 library,
# md4c), from the folder of the Qt that the build used:
#
#   sh bundle-qt.sh PREFIX QT_LIBRARY_DIR
#
# Each copy and each Qt plug-in gets an $ORIGIN-relative run path to PREFIX/lib, so that
# the loader finds the package's own Qt for them, not the system's. It is a DT_RPATH (as
# build-deb.sh links the launcher with), which the loader searches before
# LD_LIBRARY_PATH, where a DT_RUNPATH comes after it: no folder in the user's
# environment can put another Qt under the launcher. The copies of libraries that load
# no other bundled one are left unchanged. The sample client's
# package, which the launcher only copies, is not looked at.
set -eu
prefix=$1
qtlib=$2
lib=$prefix/lib

needed() { readelf -d "$1" | sed -n 's/^.*(NEEDED) *Shared library: \[\(.*\)\]$/\1/p'; }
bundled() {
  case $1 in libQt5*.so.* | libicu*.so.* | libdouble-conversion.so.* | libpcre2-16.so.* | libmd4c.so.*) return 0 ;; esac
  return 1
}

todo=$(find "$prefix/bin" "$lib" -type f \( -name '*.so*' -o -perm -u+x \) | sort)
while [ -n "$todo" ]; do
  next=""
  for file in $todo; do
    for soname in $(needed "$file"); do
      bundled "$soname" || continue
      [ ! -e "$lib/$soname" ] || continue
      [ -f "$qtlib/$soname" ] || { echo "bundle-qt: $soname (needed by $file) is not in $qtlib" >&2; exit 1; }
      cp -L "$qtlib/$soname" "$lib/$soname"
      chmod 0644 "$lib/$soname"
      next="$next $lib/$soname"
    done
  done
  todo=$next
done

for file in $(find "$lib" -maxdepth 1 -type f -name 'lib*.so.*' | sort); do
  bundled "$(basename "$file")" || continue
  for soname in $(needed "$file"); do
    if bundled "$soname"; then
      patchelf --force-rpath --set-rpath '$ORIGIN' "$file"
      break
    fi
  done
done
find "$lib/plugins" -type f -name '*.so' | sort | while read -r plugin; do
  patchelf --force-rpath --set-rpath '$ORIGIN/../..' "$plugin"
done
