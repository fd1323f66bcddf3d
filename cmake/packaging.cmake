# SPDX-License-Identifier: MIT
# A Debian package, so that users install and remove the programs with their package
# manager: `cpack -G DEB` in the build folder.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME xmladjust)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "xmladjust developers")
set(CPACK_PACKAGE_CONTACT "xmladjust developers <maintainers@users.noreply.c-seed-d30a9cc6.example>")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "add a fixed amount to a numeric XML attribute throughout a document")
# Lines under 80 characters, as dpkg and apt show them.
string(CONCAT CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "A window (xmladjust) and a command-line program (xmladjust-cli) that add a\n"
    "fixed increment to every value of a named numeric attribute in an XML\n"
    "document, such as every lat in a GPS track, optionally only where the value\n"
    "is strictly above or below given thresholds. Plain decimal values get the\n"
    "exact decimal sum. The command-line program streams files of any size and\n"
    "changes nothing but the adjusted values.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The Qt 5, C and C++ runtime packages, as dpkg-shlibdeps finds them from the binaries.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Debian ships binaries without their debugging sections, whatever the build type.
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
