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

if(APP_FUZZ)
    if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
        message(FATAL_ERROR "APP_FUZZ needs clang and its libFuzzer: use the fuzz preset")
    endif()
    # Coverage feedback from every project library; each fuzz target links libFuzzer's main itself.
    # Any sanitizer report ends the run, so that libFuzzer keeps the input that caused it.
    target_compile_options(app_options INTERFACE
        -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer
        # Two library idioms that clang, unlike GCC, flags at our call: exiv2 0.27 takes its I/O as
        # std::auto_ptr, and FFmpeg's AV_TIME_BASE_Q is a C compound literal.
        -Wno-deprecated-declarations -Wno-c99-extensions)
    target_link_options(app_options INTERFACE -fsanitize=address,undefined)
endif()
