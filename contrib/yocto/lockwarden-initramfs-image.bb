# SPDX-License-Identifier: MIT
# Initramfs image that opens an encrypted root file system on an eMMC board
# with lockwarden-tool, then switches to it (recipes-core/images/ of your
# layer, beside lockwarden-tool_*.bb). Select it in the machine or local.conf:
#   INITRAMFS_IMAGE = "lockwarden-initramfs-image"
#   INITRAMFS_IMAGE_BUNDLE = "1"     optional: built into the kernel image
# and put on the kernel command line:
#   root=/dev/mapper/cryptroot lockwarden.root=/dev/mmcblk0p3:cryptroot
# Modules the kernel has as modules and needs before the root (the key blob
# driver, the eMMC host, dm-crypt and its ciphers, the root's file system) go
# into LOCKWARDEN_INITRAMFS_MODULES, by their kernel-module-* package name
# and the module name /init loads (/etc/modules).

SUMMARY = "Initramfs that opens the encrypted root file system with lockwarden-tool"
LICENSE = "MIT"

LOCKWARDEN_INITRAMFS_MODULES ?= ""
PACKAGE_INSTALL = "lockwarden-tool-initramfs lockwarden-tool cryptsetup busybox ${LOCKWARDEN_INITRAMFS_MODULES}"

# Nothing else: no package manager data, no locales, no extra space.
IMAGE_FEATURES = ""
IMAGE_LINGUAS = ""
IMAGE_FSTYPES = "${INITRAMFS_FSTYPES}"
IMAGE_NAME_SUFFIX ?= ""
IMAGE_ROOTFS_SIZE = "8192"
IMAGE_ROOTFS_EXTRA_SPACE = "0"
NO_RECOMMENDATIONS = "1"

inherit core-image

# /etc/modules: the module name of each kernel-module-* package, loaded by
# /init in this order.
write_modules_list() {
	for pkg in ${LOCKWARDEN_INITRAMFS_MODULES}; do
		echo "${pkg#kernel-module-}"
	done >${IMAGE_ROOTFS}${sysconfdir}/modules
}
ROOTFS_POSTPROCESS_COMMAND += "write_modules_list"
