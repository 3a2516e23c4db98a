# SPDX-License-Identifier: MIT
# Recipe for a layer of your own (recipes-support/lockwarden-tool/). Point
# SRC_URI at your copy of the repository and SRCREV at the commit to build.

SUMMARY = "Open LUKS volumes with a key bound to the board (i.MX CAAM key blobs)"
DESCRIPTION = "Stores a LUKS volume key only as a CAAM key blob bound to the \
board, in the flash partition named safe (raw NAND or eMMC), and formats and \
opens encrypted partitions through cryptsetup."
SECTION = "admin"
LICENSE = "MIT"
LIC_FILES_CHKSUM = "file://LICENSE;md5=b3035cf3ce569ff55e9f6482e43a72b2"

SRC_URI = "git://git.example.org/lockwarden-tool.git;protocol=https;branch=main"
# A fixed commit makes the image reproducible; AUTOREV follows the branch.
SRCREV = "${AUTOREV}"
# Needed up to Yocto 5.0; later releases find the git checkout themselves.
S = "${WORKDIR}/git"

inherit cmake

# A cross build: no tests (they run on the build machine, see README), no
# benchmarks. The revision in the version text comes from the checkout.
EXTRA_OECMAKE = "-DLOCKWARDEN_BUILD_TESTS=OFF -DLOCKWARDEN_BUILD_BENCHMARKS=OFF"

# The program runs "cryptsetup" (and fdisk on eMMC boards) through /bin/sh.
# The manual page and the boot script examples go to ${PN}-doc.
FILES:${PN} = "${sbindir}/lockwarden-tool"
RDEPENDS:${PN} = "cryptsetup"
