# SPDX-License-Identifier: GPL-3.0-or-later
# The Debian package: `cpack -G DEB` in the build folder makes velmora_<version>_<arch>.deb from what
# `cmake --install` puts in place, with its library dependencies worked out by dpkg-shlibdeps.

set(APP_MAINTAINER "Velmora maintainers <maintainers@velmora.invalid>" CACHE STRING
    "Name and mail address of the package's maintainer")

set(CPACK_PACKAGE_NAME velmora)
set(CPACK_PACKAGE_VENDOR "Ondrel")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "${APP_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "gives video clips and photos meaningful file names")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "Velmora looks at video clips and photos with a vision language model (a local\n"
    "Ollama server or an OpenAI-compatible service) and proposes file names made of\n"
    "the capture date, the place and what the picture shows. The names can be\n"
    "reviewed and edited, a whole batch renamed at once, and the last batch undone.\n"
    "Videos, camera RAW, HEIC and common bitmap formats are read. The package holds\n"
    "the desktop application and the command-line front end velmora-cli.")
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The texts are Chinese and the status marks are emoji: without these fonts they show as boxes.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-noto-cjk, fonts-noto-color-emoji")
# Qt's own texts in Chinese (standard file and folder dialogs, buttons); dpkg-shlibdeps cannot see them.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-translations-l10n")

include(CPack)
