################################################################################
#
# lockwarden-tool
#
################################################################################

# SPDX-License-Identifier: MIT
# (after the header block, which Buildroot requires at the very top)

# For a BR2_EXTERNAL tree (package/lockwarden-tool/): point SITE at your copy
# of the repository and VERSION at the tag or commit to build, then add the
# hash of the tarball Buildroot makes from it to lockwarden-tool.hash.
LOCKWARDEN_TOOL_VERSION = 1.0.0
LOCKWARDEN_TOOL_SITE = https://git.example.org/lockwarden-tool.git
LOCKWARDEN_TOOL_SITE_METHOD = git
LOCKWARDEN_TOOL_LICENSE = MIT
LOCKWARDEN_TOOL_LICENSE_FILES = LICENSE
# The build writes generated files (version header, boot scripts) into its
# build folder, not into the sources.
LOCKWARDEN_TOOL_SUPPORTS_IN_SOURCE_BUILD = NO

# The project needs CMake 3.18, the oldest host cmake Buildroot accepts, so
# no BR2_HOST_CMAKE_AT_LEAST_* is selected. The tarball has no .git: the
# version text is VERSION when that is the release (1.0.0), else the release
# followed by the commit built (1.0.0-COMMIT). Hardening (stack protector
# where the toolchain has SSP, RELRO, FORTIFY) is Buildroot's, by its
# BR2_SSP_*, BR2_RELRO_* and BR2_FORTIFY_SOURCE_* settings.
LOCKWARDEN_TOOL_CONF_OPTS = \
	-DLOCKWARDEN_BUILD_TESTS=OFF \
	-DLOCKWARDEN_BUILD_BENCHMARKS=OFF \
	-DLOCKWARDEN_HARDENING=OFF \
	-DLOCKWARDEN_INITRAMFS_TOOLS=OFF \
	-DLOCKWARDEN_REVISION=$(LOCKWARDEN_TOOL_VERSION) \
	-DLOCKWARDEN_MMC_DISK=$(call qstrip,$(BR2_PACKAGE_LOCKWARDEN_TOOL_MMC_DISK))

ifeq ($(BR2_PACKAGE_LOCKWARDEN_TOOL_MINIMAL_KDF),y)
LOCKWARDEN_TOOL_CONF_OPTS += -DLOCKWARDEN_MINIMAL_KDF=ON
else
LOCKWARDEN_TOOL_CONF_OPTS += -DLOCKWARDEN_MINIMAL_KDF=OFF
endif

ifeq ($(BR2_PACKAGE_LOCKWARDEN_TOOL_ESCROW),y)
LOCKWARDEN_TOOL_DEPENDENCIES += openssl
LOCKWARDEN_TOOL_CONF_OPTS += -DLOCKWARDEN_ESCROW=ON
else
LOCKWARDEN_TOOL_CONF_OPTS += -DLOCKWARDEN_ESCROW=OFF
endif

# The boot pieces, generated with the install prefix by the build.
define LOCKWARDEN_TOOL_INSTALL_INIT_SYSV
	$(INSTALL) -D -m 0755 $(LOCKWARDEN_TOOL_BUILDDIR)/contrib/lockwarden-open.init \
		$(TARGET_DIR)/etc/init.d/S11lockwarden-open
endef

define LOCKWARDEN_TOOL_INSTALL_INIT_SYSTEMD
	$(INSTALL) -D -m 0644 $(LOCKWARDEN_TOOL_BUILDDIR)/contrib/lockwarden-open@.service \
		$(TARGET_DIR)/usr/lib/systemd/system/lockwarden-open@.service
	$(INSTALL) -D -m 0644 $(LOCKWARDEN_TOOL_BUILDDIR)/contrib/60-lockwarden-caam-kb.rules \
		$(TARGET_DIR)/usr/lib/udev/rules.d/60-lockwarden-caam-kb.rules
endef

# The /init of an initramfs that opens an encrypted root file system.
ifeq ($(BR2_PACKAGE_LOCKWARDEN_TOOL_INITRAMFS_INIT),y)
define LOCKWARDEN_TOOL_INSTALL_INITRAMFS_INIT
	$(INSTALL) -D -m 0755 $(LOCKWARDEN_TOOL_BUILDDIR)/contrib/initramfs/init \
		$(TARGET_DIR)/init
endef
LOCKWARDEN_TOOL_POST_INSTALL_TARGET_HOOKS += LOCKWARDEN_TOOL_INSTALL_INITRAMFS_INIT
endif

ifeq ($(BR2_PACKAGE_LOCKWARDEN_TOOL_INITRAMFS_SHELL),y)
define LOCKWARDEN_TOOL_INSTALL_INITRAMFS_SHELL
	mkdir -p $(TARGET_DIR)/etc/lockwarden
	echo "# lockwarden.onfail=shell starts a root shell after a failed boot" \
		> $(TARGET_DIR)/etc/lockwarden/initramfs-shell
endef
LOCKWARDEN_TOOL_POST_INSTALL_TARGET_HOOKS += LOCKWARDEN_TOOL_INSTALL_INITRAMFS_SHELL
endif

$(eval $(cmake-package))
