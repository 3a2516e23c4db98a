# Debian package of the program, built with `cpack -G DEB` in the build tree
# (scripts/stage-package.sh builds, installs and removes it).

# The example boot-time unit ships as documentation: it names an example
# partition, so it must not be active before the user has adapted it.
install(FILES ${PROJECT_SOURCE_DIR}/contrib/lockwarden-open.service
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME lockwarden-tool)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Lockwarden")
set(CPACK_PACKAGE_CONTACT "Lockwarden maintainers <lockwarden@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "open LUKS volumes with a key bound to the board (i.MX CAAM)")
# CPack puts the summary on the Description line itself; this is the rest.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"lockwarden-tool stores a 32-byte volume key as a CAAM key blob, wrapped under
a key modifier derived from the board's OCOTP MAC fuses, in the flash
partition named safe (raw NAND or eMMC). It LUKS-formats and opens partitions
with that key through cryptsetup, handing the key over a pipe only. The key
blob opens on the board that made it and nowhere else.")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

# The program runs the cryptsetup command; its only library is the C library.
if(CMAKE_CROSSCOMPILING)
  # dpkg-shlibdeps needs the target's libc in the dpkg database, which a
  # cross toolchain does not register: name the version the build needs
  # (glibc 2.34 merged libpthread and friends into libc.so.6).
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "cryptsetup-bin, libc6 (>= 2.34)")
  if(CMAKE_SYSTEM_PROCESSOR MATCHES "^arm")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armhf)
  elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
  endif()
else()
  # The libc6 version comes from the symbols the binary really uses.
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "cryptsetup-bin")
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()

include(CPack)
