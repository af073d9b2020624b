# SPDX-License-Identifier: GPL-3.0-or-later
# The Debian package (scripts/package): kestrel_<version>_<arch>.deb, its library dependencies
# computed by dpkg-shlibdeps from the installed programs.
set(CPACK_GENERATOR DEB)
# The package holds the paths the build was configured with (the units name the programs).
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_PACKAGE_NAME kestrel)
set(CPACK_PACKAGE_VENDOR Vantor)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "carry live MIDI across the studio network")
# The long description as the package shows it: lines of at most 79 characters.
set(CPACK_PACKAGE_DESCRIPTION
    "Kestrel captures eight virtual MIDI ports and one MIDI In device on one
machine and plays them on chosen MIDI outputs of the others, over UDP on the
local network. It runs in a window, in the tray or headless as a systemd user
service.")
set(CPACK_PACKAGE_CONTACT "Kestrel developers <kestrel@example.org>")
set(CPACK_PACKAGE_HOMEPAGE_URL https://kestrel.example.org)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "alsa-utils")
set(CPACK_STRIP_FILES ON)
include(CPack)
