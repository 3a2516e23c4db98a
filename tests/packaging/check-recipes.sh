#!/bin/sh
# SPDX-License-Identifier: MIT
# What the board build recipes under contrib/ (and the Debian packaging) state
# about the project, checked against the project itself, so that a change to
# the licence, the version or the install rules cannot leave them behind:
# - licence: the Yocto recipe's LIC_FILES_CHKSUM is the md5 of LICENSE, the
#   Buildroot .hash has the sha256 of every LICENSE_FILES entry, both say
#   MIT, and debian/copyright carries the text of LICENSE;
# - version: recipe file name, Buildroot VERSION, debian/changelog and the
#   manual page all give the project version;
# - options: every -D option the recipes pass is one the project reads;
# - installed files: `cmake --install` into a temporary DESTDIR, then every
#   file lands in a package of the Yocto recipe (otherwise its
#   installed-vs-shipped check stops the build) and every path the recipe
#   ships is installed; what the Buildroot package copies from the build
#   folder is a file that `cmake --install` installs, byte for byte.
# Usage: check-recipes.sh SOURCE_DIR BUILD_DIR PROJECT_VERSION [CMAKE]
# The sed patterns match bitbake and make variables literally.
# shellcheck disable=SC2016
set -eu
src=$1
build=$2
version=$3
cmake=${4:-cmake}

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
ok() { echo "ok: $*"; }

bb=$(ls "$src"/contrib/yocto/lockwarden-tool_*.bb)
mk=$src/contrib/buildroot/lockwarden-tool/lockwarden-tool.mk
hash=$src/contrib/buildroot/lockwarden-tool/lockwarden-tool.hash

# --- licence
license_md5=$(md5sum "$src/LICENSE" | cut -d' ' -f1)
chksum=$(sed -n 's/^LIC_FILES_CHKSUM = "\(.*\)"$/\1/p' "$bb")
if [ "$chksum" = "file://LICENSE;md5=$license_md5" ]; then
  ok "Yocto LIC_FILES_CHKSUM is the md5 of LICENSE ($license_md5)"
else
  fail "Yocto LIC_FILES_CHKSUM is '$chksum', LICENSE has md5 $license_md5"
fi
grep -qx 'LICENSE = "MIT"' "$bb" || fail "Yocto recipe: LICENSE is not MIT"
grep -qx 'LOCKWARDEN_TOOL_LICENSE = MIT' "$mk" || fail "Buildroot: LICENSE is not MIT"
license_files=$(sed -n 's/^LOCKWARDEN_TOOL_LICENSE_FILES = //p' "$mk")
[ -n "$license_files" ] || fail "Buildroot: no LICENSE_FILES"
for f in $license_files; do
  if [ ! -f "$src/$f" ]; then
    fail "Buildroot LICENSE_FILES names $f, which does not exist"
    continue
  fi
  sum=$(sha256sum "$src/$f" | cut -d' ' -f1)
  if grep -qx "sha256  $sum  $f" "$hash"; then
    ok "Buildroot hash of $f is its sha256"
  else
    fail "Buildroot .hash lacks 'sha256  $sum  $f'"
  fi
done
# The licence text in debian/copyright is LICENSE from "Permission" on, in
# the copyright format's indented form.
sed -n '/^License: Expat$/,$p' "$src/debian/copyright" | sed -n '/^ Permission/,/^[^ ]/p' |
  sed -e 's/^ //' -e 's/^\.$//' >"${TMPDIR:-/tmp}/lw-copyright.$$"
if sed -n '/^Permission/,$p' "$src/LICENSE" | cmp -s - "${TMPDIR:-/tmp}/lw-copyright.$$"; then
  ok "debian/copyright carries the text of LICENSE"
else
  fail "debian/copyright's Expat text differs from LICENSE"
fi
rm -f "${TMPDIR:-/tmp}/lw-copyright.$$"

# --- version
check_version() {
  if [ "$2" = "$version" ]; then ok "$1: $2"; else fail "$1 is '$2', the project version is $version"; fi
}
bb_name=${bb##*/}
bb_version=${bb_name#lockwarden-tool_}
check_version "Yocto recipe version" "${bb_version%.bb}"
check_version "Buildroot VERSION" "$(sed -n 's/^LOCKWARDEN_TOOL_VERSION = //p' "$mk")"
check_version "debian/changelog" "$(sed -n '1s/^lockwarden-tool (\([^)]*\)).*/\1/p' "$src/debian/changelog")"
check_version "manual page header" "$(sed -n 's/^\.TH [^ ]* [^ ]* [^ ]* "lockwarden-tool \([^"]*\)".*/\1/p' "$src/man/lockwarden-tool.8")"
check_version "manual page VERSION" "$(sed -n 's/^This page describes lockwarden\\-tool \(.*\)\.$/\1/p' "$src/man/lockwarden-tool.8")"

# --- options the recipes hand to CMake
options=$(sed -n 's/.*EXTRA_OECMAKE = "\(.*\)"/\1/p' "$bb"; sed -n 's/^[[:space:]]*\(-D[A-Z_]*\)=.*/\1/p' "$mk")
for option in $options; do
  name=${option#-D}
  name=${name%%=*}
  if grep -rqw --include=CMakeLists.txt --include='*.cmake' "$name" "$src"; then
    ok "option $name is read by the project"
  else
    fail "a recipe passes -D$name, which no CMakeLists.txt reads"
  fi
done

# --- installed files
destdir=$(mktemp -d "${TMPDIR:-/tmp}/lw-recipes.XXXXXX")
trap 'rm -rf "$destdir"' EXIT
DESTDIR=$destdir "$cmake" --install "$build" --prefix /usr >/dev/null
installed=$(cd "$destdir" && find . ! -type d | sed 's/^\.//' | sort)
[ -n "$installed" ] || fail "cmake --install installed nothing"
echo "cmake --install: $(printf '%s\n' "$installed" | tr '\n' ' ')"

# Yocto: the recipe's own FILES, then the defaults of the packages it leaves
# alone (${PN}-doc). Variables as in bitbake.conf for a /usr prefix.
expand() {
  sed -e 's|${sbindir}|/usr/sbin|g' -e 's|${bindir}|/usr/bin|g' \
      -e 's|${mandir}|/usr/share/man|g' -e 's|${docdir}|/usr/share/doc|g' \
      -e 's|${datadir}|/usr/share|g' -e 's|${sysconfdir}|/etc|g' \
      -e 's|${libdir}|/usr/lib|g' -e 's|${BPN}|lockwarden-tool|g' -e 's|${PN}|lockwarden-tool|g'
}
pn_files=$(sed -n 's/^FILES:${PN} = "\(.*\)"$/\1/p' "$bb" | expand)
doc_files=$(sed -n 's/^FILES:${PN}-doc = "\(.*\)"$/\1/p' "$bb" | expand)
[ -n "$doc_files" ] || doc_files="/usr/share/doc /usr/share/man /usr/share/info"
[ -n "$pn_files" ] || fail "the Yocto recipe does not say what \${PN} ships"
shipped_by() {
  for pattern in $2; do
    case "$1" in "$pattern" | "$pattern"/*) return 0 ;; esac
  done
  return 1
}
for f in $installed; do
  if shipped_by "$f" "$pn_files"; then
    ok "Yocto: $f in lockwarden-tool"
  elif shipped_by "$f" "$doc_files"; then
    ok "Yocto: $f in lockwarden-tool-doc"
  else
    fail "Yocto: $f is installed but in no package (installed-vs-shipped)"
  fi
done
for pattern in $pn_files; do
  found=0
  for f in $installed; do
    case "$f" in "$pattern" | "$pattern"/*) found=1 ;; esac
  done
  [ "$found" -eq 1 ] || fail "Yocto: FILES:\${PN} names $pattern, which cmake --install does not install"
done

# Buildroot installs what `cmake --install` installs (cmake-package), and its
# init hook copies files from the build folder: each must be one of those.
copied=$(sed -n 's/.*$(LOCKWARDEN_TOOL_BUILDDIR)\/\([^ ]*\).*/\1/p' "$mk")
for f in $copied; do
  match=""
  if [ -f "$build/$f" ]; then
    for g in $installed; do
      cmp -s "$build/$f" "$destdir$g" && match=$g
    done
  fi
  if [ -n "$match" ]; then
    ok "Buildroot copies $f, installed by cmake as $match"
  else
    fail "Buildroot copies $f from the build folder, which is not a file cmake --install installs"
  fi
done

if [ "$failures" -ne 0 ]; then
  echo "check-recipes: $failures failures"
  exit 1
fi
echo "check-recipes: all passed"
