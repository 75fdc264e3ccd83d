# Debian package of the installed programs and data: `cpack -G DEB` in the
# build folder writes quorvel_<version>_<arch>.deb. Installs under /usr, where
# udev reads the rules and the programs find /usr/share/quorvel.

set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "quorvel")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_VENDOR "The Quorvel developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware upgrade tool for Quorvel converter chips")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES ON)

set(QUORVEL_PACKAGE_MAINTAINER "The Quorvel developers <quorvel@localhost>" CACHE STRING
    "Maintainer field of the Debian package")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${QUORVEL_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_NAME "quorvel")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "utils")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"Reads the firmware version of converter chips on USB and in displays and
upgrades their firmware. QuorvelCLI works from the command line; udev rules
give the logged-in user access to the chips and to display I2C buses. The
chip maker's loader images are not included: copy them to
/usr/share/quorvel (see README.txt there).")

# Libraries the programs link (libusb, Qt, umockdev, libstdc++ ...) become
# Depends through dpkg-shlibdeps (package dpkg-dev).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# What is loaded at run time without being linked, so shlibdeps cannot see it.
set(quorvel_recommends "")
if(TARGET quorvel-emulate)
  list(APPEND quorvel_recommends "umockdev")        # the LD_PRELOAD library
endif()
if(TARGET Quorvel)
  list(APPEND quorvel_recommends "qt6-qpa-plugins")  # Qt's window-system plugins
endif()
list(JOIN quorvel_recommends ", " CPACK_DEBIAN_PACKAGE_RECOMMENDS)

# Maintainer scripts: load the new rules and apply them to devices already
# plugged in, when udev is there (not in containers or chroots without it).
foreach(script postinst postrm)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/${script}.in
                 ${PROJECT_BINARY_DIR}/debian/${script} @ONLY
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
                                  GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    "${PROJECT_BINARY_DIR}/debian/postinst;${PROJECT_BINARY_DIR}/debian/postrm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
