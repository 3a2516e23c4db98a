# SPDX-License-Identifier: MIT
# Recipe for a layer of your own (recipes-support/lockwarden-tool/), for
# Yocto 4.0 (kirkstone) and later. Needs meta-oe (meta-openembedded) for
# cryptsetup. Point SRC_URI at your copy of the repository and SRCREV at the
# commit to build.

SUMMARY = "Open LUKS volumes with a key bound to the board (i.MX CAAM key blobs)"
DESCRIPTION = "Stores a LUKS volume key only as a CAAM key blob bound to the \
board, in the flash partition named safe (raw NAND or eMMC), and formats and \
opens encrypted partitions through cryptsetup."
SECTION = "admin"
LICENSE = "MIT"
LIC_FILES_CHKSUM = "file://LICENSE;md5=b3035cf3ce569ff55e9f6482e43a72b2"

SRC_URI = "git://git.example.org/lockwarden-tool.git;protocol=https;branch=main"
# The commit to build: a placeholder that fails the fetch until it is set.
SRCREV = "0000000000000000000000000000000000000000"
# ${SRCPV} gives kirkstone a new version for a new SRCREV; later releases
# set it empty and add the revision to a "+git" version themselves.
PV = "1.0.0+git${SRCPV}"
# Where the git fetcher puts the checkout: ${WORKDIR}/git up to 5.0,
# ${UNPACKDIR}/git in 5.1 and 5.2, ${UNPACKDIR}/${BP} (the default S) from
# 5.3 on, which also refuses an S written with ${WORKDIR}.
S = "${@(d.getVar('UNPACKDIR') or d.getVar('WORKDIR')) + '/' + (d.getVar('BB_GIT_DEFAULT_DESTSUFFIX') or 'git')}"

inherit cmake systemd update-rc.d

# A cross build: no tests (they run on the build machine, see README), no
# benchmarks. The revision in the version text comes from the checkout.
# No initramfs-tools on Yocto: its initramfs is lockwarden-initramfs-image.bb.
EXTRA_OECMAKE = "-DLOCKWARDEN_BUILD_TESTS=OFF -DLOCKWARDEN_BUILD_BENCHMARKS=OFF -DLOCKWARDEN_INITRAMFS_TOOLS=OFF -DLOCKWARDEN_MMC_DISK=${LOCKWARDEN_MMC_DISK}"
# The eMMC disk that holds the keyring partition "safe" (/dev/mmcblkN) where
# the kernel command line names none (lockwarden.disk=/dev/mmcblkN).
LOCKWARDEN_MMC_DISK ?= "/dev/mmcblk0"
# minimal-kdf: format with PBKDF2 at 1000 iterations unless --kdf says
# otherwise, a fast unlock that suits the program's random 256-bit keys. escrow: seal a recovery key to the
# vendor's certificate, with OpenSSL's libcrypto.
PACKAGECONFIG ??= ""
PACKAGECONFIG[minimal-kdf] = "-DLOCKWARDEN_MINIMAL_KDF=ON,-DLOCKWARDEN_MINIMAL_KDF=OFF"
PACKAGECONFIG[escrow] = "-DLOCKWARDEN_ESCROW=ON,-DLOCKWARDEN_ESCROW=OFF,openssl"

# The boot pieces, generated with the install prefix by the build and
# installed by it as examples, go into place here. systemd.bbclass drops the
# init script from an image with systemd alone, and the unit from an image
# without systemd.
do_install:append() {
	install -D -m 0644 ${B}/contrib/lockwarden-open@.service ${D}${systemd_system_unitdir}/lockwarden-open@.service
	install -D -m 0644 ${B}/contrib/60-lockwarden-caam-kb.rules ${D}${nonarch_base_libdir}/udev/rules.d/60-lockwarden-caam-kb.rules
	install -D -m 0755 ${B}/contrib/lockwarden-open.init ${D}${INIT_D_DIR}/lockwarden-open
	install -D -m 0755 ${B}/contrib/initramfs/init ${D}/init
}

# A template: enable one instance per volume in a bbappend, e.g.
#   SYSTEMD_SERVICE:${PN} = "lockwarden-open@cryptdata.service"
#   SYSTEMD_AUTO_ENABLE = "enable"
# with /etc/lockwarden/cryptdata.conf in the image.
SYSTEMD_SERVICE:${PN} = "lockwarden-open@.service"
SYSTEMD_AUTO_ENABLE = "disable"
# After the device manager has loaded the modules; closed late on the way down.
INITSCRIPT_NAME = "lockwarden-open"
INITSCRIPT_PARAMS = "start 11 S . stop 89 0 6 ."

# The program runs "cryptsetup" (and fdisk on eMMC boards) through /bin/sh;
# its key test needs cryptsetup 2.4.0 or later (--token-type; kirkstone
# ships 2.4.3).
# ${datadir}/lockwarden-tool holds the NAME.conf reader of the boot pieces.
# The manual page and the examples go to ${PN}-doc.
FILES:${PN} = "${sbindir}/lockwarden-tool ${datadir}/lockwarden-tool ${systemd_system_unitdir}/lockwarden-open@.service ${nonarch_base_libdir}/udev/rules.d/60-lockwarden-caam-kb.rules ${INIT_D_DIR}/lockwarden-open"
RDEPENDS:${PN} = "cryptsetup (>= 2.4.0)"
# The /init of an initramfs that opens an encrypted root file system, for
# lockwarden-initramfs-image.bb alone: never install it into a root file system.
PACKAGES =+ "${PN}-initramfs"
FILES:${PN}-initramfs = "/init"
RDEPENDS:${PN}-initramfs = "${PN} busybox"
