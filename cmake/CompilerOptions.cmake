# SPDX-License-Identifier: GPL-3.0-or-later
# One interface target that every project target links: language level, warnings, Qt strictness.

add_library(app_options INTERFACE)
target_compile_features(app_options INTERFACE cxx_std_20)
target_compile_options(app_options INTERFACE -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor)
target_compile_definitions(app_options INTERFACE
    QT_NO_CAST_FROM_ASCII
    QT_NO_CAST_TO_ASCII
    QT_NO_NARROWING_CONVERSIONS_IN_CONNECT
    QT_USE_QSTRINGBUILDER
    QT_DISABLE_DEPRECATED_BEFORE=0x060400
    APP_VERSION="${PROJECT_VERSION}")

if(APP_WERROR)
    target_compile_options(app_options INTERFACE -Werror)
endif()

if(APP_SANITIZE)
    target_compile_options(app_options INTERFACE -fsanitize=address,undefined -fno-omit-frame-pointer)
    target_link_options(app_options INTERFACE -fsanitize=address,undefined)
endif()
