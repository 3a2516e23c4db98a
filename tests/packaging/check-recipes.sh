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
# - options: every -D option the recipes pass is one the project reads, and
#   the recipes offer the project's build choices (minimal KDF, escrow with
#   OpenSSL, eMMC disk);
# - forms: the Yocto recipe's fixed SRCREV, PV, S, inherit line, systemd and
#   init script settings; Buildroot's host CMake and Debian's Build-Depends
#   against the project's minimum (and the tests');
# - installed files: `cmake --install` into a temporary DESTDIR, then every
#   file lands in a package of the Yocto recipe (otherwise its
#   installed-vs-shipped check stops the build) and every path the recipe
#   ships is installed; what the Yocto and Buildroot recipes copy from the
#   build folder is a file that `cmake --install` installs, byte for byte
#   but for the install prefix the boot pieces name.
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
image_bb=$src/contrib/yocto/lockwarden-initramfs-image.bb
mk=$src/contrib/buildroot/lockwarden-tool/lockwarden-tool.mk
config_in=$src/contrib/buildroot/lockwarden-tool/Config.in
hash=$src/contrib/buildroot/lockwarden-tool/lockwarden-tool.hash

# --- licence
license_md5=$(md5sum "$src/LICENSE" | cut -d' ' -f1)
chksum=$(sed -n 's/^LIC_FILES_CHKSUM = "\(.*\)"$/\1/p' "$bb")
if [ "$chksum" = "file://LICENSE;md5=$license_md5" ]; then
  ok "Yocto LIC_FILES_CHKSUM is the md5 of LICENSE ($license_md5)"
else
  fail "Yocto LIC_FILES_CHKSUM is '$chksum', LICENSE has md5 $license_md5"
fi
for f in "$bb" "$image_bb"; do
  grep -qx 'LICENSE = "MIT"' "$f" || fail "${f##*/}: LICENSE is not MIT"
done
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
options=$(grep -oh -- '-D[A-Z][A-Z_]*' "$bb" "$mk" | sort -u)
for option in $options; do
  name=${option#-D}
  if grep -rqw --include=CMakeLists.txt --include='*.cmake' "$name" "$src"; then
    ok "option $name is read by the project"
  else
    fail "a recipe passes -D$name, which no CMakeLists.txt reads"
  fi
done
# expect_line FILE LINE: FILE holds LINE, whole.
expect_line() {
  if grep -qxF -- "$2" "$1"; then ok "${1##*/}: $2"; else fail "${1##*/} lacks the line: $2"; fi
}
mmc_default=$(sed -n 's/^set(LOCKWARDEN_MMC_DISK "\([^"]*\)" CACHE STRING$/\1/p' "$src/CMakeLists.txt")
expect_line "$bb" 'PACKAGECONFIG[minimal-kdf] = "-DLOCKWARDEN_MINIMAL_KDF=ON,-DLOCKWARDEN_MINIMAL_KDF=OFF"'
expect_line "$bb" 'PACKAGECONFIG[escrow] = "-DLOCKWARDEN_ESCROW=ON,-DLOCKWARDEN_ESCROW=OFF,openssl"'
expect_line "$bb" "LOCKWARDEN_MMC_DISK ?= \"$mmc_default\""
grep -qF -- '-DLOCKWARDEN_MMC_DISK=${LOCKWARDEN_MMC_DISK}' "$bb" || fail "Yocto: LOCKWARDEN_MMC_DISK does not reach CMake"
expect_line "$config_in" 'config BR2_PACKAGE_LOCKWARDEN_TOOL_MINIMAL_KDF'
expect_line "$config_in" 'config BR2_PACKAGE_LOCKWARDEN_TOOL_MMC_DISK'
expect_line "$config_in" "	default \"$mmc_default\""
grep -qF -- '-DLOCKWARDEN_MMC_DISK=$(call qstrip,$(BR2_PACKAGE_LOCKWARDEN_TOOL_MMC_DISK))' "$mk" ||
  fail "Buildroot: the eMMC disk setting does not reach CMake"
grep -qF -- '-DLOCKWARDEN_MINIMAL_KDF=ON' "$mk" || fail "Buildroot: the minimal KDF setting does not reach CMake"
# Escrow links libcrypto, which a Buildroot cryptsetup may not bring: the
# option selects OpenSSL itself and the package depends on it.
expect_line "$config_in" 'config BR2_PACKAGE_LOCKWARDEN_TOOL_ESCROW'
expect_line "$config_in" '	select BR2_PACKAGE_OPENSSL'
grep -qF -- '-DLOCKWARDEN_ESCROW=ON' "$mk" || fail "Buildroot: the escrow setting does not reach CMake"
expect_line "$mk" 'LOCKWARDEN_TOOL_DEPENDENCIES += openssl'

# --- forms the releases of Yocto and Buildroot depend on
# A fixed commit, no AUTOREV; S where the git fetcher of each release from
# 4.0 to 5.3 unpacks, never written with ${WORKDIR} (5.3 refuses that).
if grep -Eqx 'SRCREV = "[0-9a-f]{40}"' "$bb"; then ok "Yocto SRCREV is a 40-hex commit"; else
  fail "Yocto: SRCREV is not a 40-hex commit"; fi
# kirkstone: ${SRCPV} makes a new version of a new SRCREV.
expect_line "$bb" "PV = \"$version+git\${SRCPV}\""
expect_line "$bb" "S = \"\${@(d.getVar('UNPACKDIR') or d.getVar('WORKDIR')) + '/' + (d.getVar('BB_GIT_DEFAULT_DESTSUFFIX') or 'git')}\""
expect_line "$bb" 'inherit cmake systemd update-rc.d'
expect_line "$bb" 'SYSTEMD_SERVICE:${PN} = "lockwarden-open@.service"'
expect_line "$bb" 'SYSTEMD_AUTO_ENABLE = "disable"'
expect_line "$bb" 'INITSCRIPT_NAME = "lockwarden-open"'
expect_line "$bb" 'RDEPENDS:${PN} = "cryptsetup (>= 2.4.0)"'
# Buildroot accepts a host cmake from 3.18 on; a higher minimum must make it
# build its own.
cmake_min=$(sed -n 's/^cmake_minimum_required(VERSION \([0-9]*\.[0-9]*\).*/\1/p' "$src/CMakeLists.txt")
if [ "$cmake_min" = "3.18" ]; then
  if grep -q BR2_HOST_CMAKE_AT_LEAST "$config_in"; then fail "Buildroot selects a host cmake the project does not need"
  else ok "CMake $cmake_min: Buildroot's own host cmake floor"; fi
else
  expect_line "$config_in" "	select BR2_HOST_CMAKE_AT_LEAST_$(echo "$cmake_min" | tr . _)"
fi
# Debian: the program's CMake, and the tests' only where they are built.
tests_min=$(sed -n 's/^if(CMAKE_VERSION VERSION_LESS \([0-9.]*\))$/\1/p' "$src/tests/CMakeLists.txt")
expect_line "$src/debian/control" "Build-Depends: cmake (>= $cmake_min),"
expect_line "$src/debian/control" "               cmake (>= $tests_min) <!nocheck>,"
grep -q '^define LOCKWARDEN_TOOL_INSTALL_INIT_SYSTEMD$' "$mk" || fail "Buildroot installs no systemd unit"
# The initramfs image installs the package of /init that the recipe makes.
expect_line "$image_bb" 'inherit core-image'
expect_line "$bb" 'PACKAGES =+ "${PN}-initramfs"'
grep -q '^PACKAGE_INSTALL = "lockwarden-tool-initramfs ' "$image_bb" || fail "the initramfs image lacks lockwarden-tool-initramfs"
# kirkstone splits the post-processing list at ';' only: a command without
# one runs as "write_modules_list sort_passwd", which does not exist.
expect_line "$image_bb" 'ROOTFS_POSTPROCESS_COMMAND += "write_modules_list;"'
if grep '^ROOTFS_POSTPROCESS_COMMAND' "$image_bb" | grep -qv ';"$'; then
  fail "the initramfs image has a ROOTFS_POSTPROCESS_COMMAND without a closing ';'"
fi
# No root shell after a failed boot unless the board's build asks for one.
expect_line "$image_bb" 'LOCKWARDEN_INITRAMFS_SHELL ?= "0"'
expect_line "$image_bb" 'LOCKWARDEN_INITRAMFS_FW_ENV_CONFIG ?= ""'
expect_line "$config_in" 'config BR2_PACKAGE_LOCKWARDEN_TOOL_INITRAMFS_SHELL'
shell_flag=$(sed -n 's/^SHELL_FLAG=\/etc//p' "$src/contrib/initramfs/init.in")
for f in "$image_bb" "$mk"; do
  grep -qF -- "$shell_flag" "$f" || fail "${f##*/} does not make /etc$shell_flag, the file the /init looks for"
done
# Every Buildroot setting the documentation names is one Config.in offers.
for doc in "$src/README.md" "$src"/docs/*.md; do
  symbols=$(grep -o 'BR2_PACKAGE_LOCKWARDEN_TOOL[A-Z_]*' "$doc" | sort -u)
  for symbol in $symbols; do
    grep -qx "config $symbol" "$config_in" || fail "${doc#"$src"/} names $symbol, which Config.in lacks"
  done
done

# --- installed files
destdir=$(mktemp -d "${TMPDIR:-/tmp}/lw-recipes.XXXXXX")
trap 'rm -rf "$destdir"' EXIT
DESTDIR=$destdir "$cmake" --install "$build" --prefix /usr >/dev/null
installed=$(cd "$destdir" && find . ! -type d | sed 's/^\.//' | sort)
[ -n "$installed" ] || fail "cmake --install installed nothing"
echo "cmake --install: $(printf '%s\n' "$installed" | tr '\n' ' ')"
# The example /init is executable, as the recipes' copies are.
[ -x "$destdir/usr/share/doc/lockwarden-tool/examples/initramfs-init" ] || fail "the example initramfs-init is not executable"

# copied_from FILE: the file cmake installs with the bytes of the build
# folder's FILE, or nothing. The build folder's boot pieces name the files
# of the configured prefix, the installed ones those of the install's (/usr).
prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:[A-Z]*=//p' "$build/CMakeCache.txt")
copied_from() {
  [ -f "$build/$1" ] || return 0
  for g in $installed; do
    if sed -e "s|$prefix/sbin/lockwarden-tool|/usr/sbin/lockwarden-tool|g" \
        -e "s|$prefix/share/lockwarden-tool/|/usr/share/lockwarden-tool/|g" "$build/$1" |
      cmp -s - "$destdir$g"; then echo "$g"; fi
  done
}

# Yocto: what cmake installs and what do_install copies from the build
# folder; each lands in the recipe's own FILES or in the defaults of the
# packages it leaves alone (${PN}-doc). Variables as in bitbake.conf for a
# /usr prefix.
expand() {
  sed -e 's|${systemd_system_unitdir}|/lib/systemd/system|g' -e 's|${nonarch_base_libdir}|/lib|g' \
      -e 's|${INIT_D_DIR}|/etc/init.d|g' \
      -e 's|${sbindir}|/usr/sbin|g' -e 's|${bindir}|/usr/bin|g' \
      -e 's|${mandir}|/usr/share/man|g' -e 's|${docdir}|/usr/share/doc|g' \
      -e 's|${datadir}|/usr/share|g' -e 's|${sysconfdir}|/etc|g' \
      -e 's|${libdir}|/usr/lib|g' -e 's|${BPN}|lockwarden-tool|g' -e 's|${PN}|lockwarden-tool|g'
}
# A recipe without initramfs-tools leaves its pieces out of the install.
yocto_installed=$installed
if grep -q -- '-DLOCKWARDEN_INITRAMFS_TOOLS=OFF' "$bb"; then
  yocto_installed=$(printf '%s\n' "$installed" | grep -v '^/usr/share/initramfs-tools/' || true)
fi
copies=$(sed -n 's/^	install -D -m [0-7]* ${B}\/\([^ ]*\) ${D}\([^ ]*\)$/\1=\2/p' "$bb" | expand)
[ -n "$copies" ] || fail "the Yocto recipe installs no boot pieces"
for copy in $copies; do
  f=${copy%%=*}
  match=$(copied_from "$f")
  if [ -n "$match" ]; then
    ok "Yocto copies $f to ${copy#*=}, installed by cmake as $match"
  else
    fail "Yocto copies $f from the build folder, which is not a file cmake --install installs"
  fi
  yocto_installed="$yocto_installed ${copy#*=}"
done
pn_files=$(sed -n '/^FILES:${PN}-doc /d; s/^FILES:${PN}[-a-z]* = "\(.*\)"$/\1/p' "$bb" | expand)
doc_files=$(sed -n 's/^FILES:${PN}-doc = "\(.*\)"$/\1/p' "$bb" | expand)
[ -n "$doc_files" ] || doc_files="/usr/share/doc /usr/share/man /usr/share/info"
[ -n "$pn_files" ] || fail "the Yocto recipe does not say what \${PN} ships"
shipped_by() {
  for shipped in $2; do
    case "$1" in "$shipped" | "$shipped"/*) return 0 ;; esac
  done
  return 1
}
for f in $yocto_installed; do
  if shipped_by "$f" "$pn_files"; then
    ok "Yocto: $f in lockwarden-tool"
  elif shipped_by "$f" "$doc_files"; then
    ok "Yocto: $f in lockwarden-tool-doc"
  else
    fail "Yocto: $f is installed but in no package (installed-vs-shipped)"
  fi
done
# Each entry of FILES:${PN} is an installed file or a folder holding one.
for entry in $pn_files; do
  found=0
  for f in $yocto_installed; do
    case "$f" in "$entry" | "$entry"/*) found=1 ;; esac
  done
  [ "$found" -eq 1 ] || fail "Yocto: FILES:\${PN} names $entry, which the recipe does not install"
done
# What the classes are told about is installed: the unit for systemd.bbclass,
# the script for update-rc.d.bbclass.
for f in /lib/systemd/system/lockwarden-open@.service /etc/init.d/lockwarden-open; do
  shipped_by "$f" "$yocto_installed" || fail "Yocto: $f is named in the recipe but not installed"
done

# Buildroot installs what `cmake --install` installs (cmake-package), and its
# init hooks copy files from the build folder: each must be one of those.
copied=$(sed -n 's/.*$(LOCKWARDEN_TOOL_BUILDDIR)\/\([^ ]*\).*/\1/p' "$mk")
for f in $copied; do
  match=$(copied_from "$f")
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
