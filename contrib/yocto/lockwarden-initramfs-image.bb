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
# A failed boot reboots. LOCKWARDEN_INITRAMFS_SHELL = "1" builds an
# initramfs that offers a root shell on the console instead, with
# lockwarden.onfail=shell: for development boards only, since whoever holds
# that console can ask the loaded key blob driver for the key.
# LOCKWARDEN_INITRAMFS_FW_ENV_CONFIG names the board's fw_env.config on the
# build machine (a file of your layer): copied to /etc/fw_env.config, it lets
# the program read the copy of the key blob behind the U-Boot environment.

SUMMARY = "Initramfs that opens the encrypted root file system with lockwarden-tool"
LICENSE = "MIT"

LOCKWARDEN_INITRAMFS_MODULES ?= ""
LOCKWARDEN_INITRAMFS_SHELL ?= "0"
LOCKWARDEN_INITRAMFS_FW_ENV_CONFIG ?= ""
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
# Each command ends with ';': kirkstone runs the list split at semicolons, so
# "write_modules_list sort_passwd" would be one function that does not exist.
ROOTFS_POSTPROCESS_COMMAND += "write_modules_list;"

write_board_files() {
	if [ "${LOCKWARDEN_INITRAMFS_SHELL}" = "1" ]; then
		install -d ${IMAGE_ROOTFS}${sysconfdir}/lockwarden
		echo "# lockwarden.onfail=shell starts a root shell after a failed boot" \
			>${IMAGE_ROOTFS}${sysconfdir}/lockwarden/initramfs-shell
	fi
	if [ -n "${LOCKWARDEN_INITRAMFS_FW_ENV_CONFIG}" ]; then
		install -m 0644 ${LOCKWARDEN_INITRAMFS_FW_ENV_CONFIG} ${IMAGE_ROOTFS}${sysconfdir}/fw_env.config
	fi
}
ROOTFS_POSTPROCESS_COMMAND += "write_board_files;"
# A changed fw_env.config builds the image again.
python () {
    fw_env = d.getVar('LOCKWARDEN_INITRAMFS_FW_ENV_CONFIG')
    if fw_env:
        d.appendVarFlag('do_rootfs', 'file-checksums', ' %s:True' % fw_env)
}
