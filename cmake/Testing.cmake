# SPDX-License-Identifier: GPL-3.0-or-later
# app_add_test(NAME TestX SOURCES ... LIBS ... LABELS unit|media|net|gui)
# One QtTest executable per class or behaviour, run in a fixed, reproducible environment.

function(app_add_test)
    cmake_parse_arguments(T "" "NAME;TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
    qt_add_executable(${T_NAME} ${T_SOURCES})
    target_link_libraries(${T_NAME} PRIVATE Qt6::Test app_options ${T_LIBS})
    target_include_directories(${T_NAME} PRIVATE "${PROJECT_SOURCE_DIR}/tests")
    add_test(NAME ${T_NAME} COMMAND ${T_NAME})
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 300)
    endif()
    # Undo logs, the catalogue and settings go to a folder of the test's own, never the user's.
    set(root "${CMAKE_CURRENT_BINARY_DIR}/${T_NAME}.xdg")
    set(home "XDG_STATE_HOME=${root}/state;XDG_DATA_HOME=${root}/data;XDG_CONFIG_HOME=${root}/config")
    set_tests_properties(${T_NAME} PROPERTIES
        LABELS "${T_LABELS}"
        TIMEOUT ${T_TIMEOUT}
        ENVIRONMENT "QT_QPA_PLATFORM=offscreen;LC_ALL=C.UTF-8;TZ=UTC;VELMORA_TEST_SOURCE_DIR=${PROJECT_SOURCE_DIR};${home}")
endfunction()
