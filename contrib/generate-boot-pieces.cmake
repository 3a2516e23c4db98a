# SPDX-License-Identifier: MIT
# Writes each of lockwarden_generated from its .in file in lockwarden_source
# to lockwarden_output, with the folders of the program and of the shared
# files where an install into CMAKE_INSTALL_PREFIX puts them: the configured
# prefix when the build includes this, the prefix of the install when the
# install script does.
# A relative prefix (cmake --install --prefix DIR) is taken from the current
# folder, as the install takes it; the prefix / comes as "" or "/".
set(lockwarden_prefix "${CMAKE_INSTALL_PREFIX}")
if(NOT lockwarden_prefix STREQUAL "" AND NOT IS_ABSOLUTE "${lockwarden_prefix}")
  get_filename_component(lockwarden_prefix "${lockwarden_prefix}" ABSOLUTE)
endif()
string(REGEX REPLACE "/+$" "" lockwarden_prefix "${lockwarden_prefix}")
foreach(dir sbindir datadir)
  if(IS_ABSOLUTE "${lockwarden_${dir}}")
    set(lockwarden_full_${dir} "${lockwarden_${dir}}")
  else()
    set(lockwarden_full_${dir} "${lockwarden_prefix}/${lockwarden_${dir}}")
  endif()
endforeach()
set(LOCKWARDEN_SBINDIR "${lockwarden_full_sbindir}")
set(LOCKWARDEN_DATADIR "${lockwarden_full_datadir}")
foreach(piece IN LISTS lockwarden_generated)
  configure_file("${lockwarden_source}/${piece}.in" "${lockwarden_output}/${piece}" @ONLY)
endforeach()
