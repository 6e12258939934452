# Test helpers. Every Windows test program runs under Wine in the build's own
# prefix (see the toolchain's emulator); tests that open windows share one
# Xvfb screen and take the "display" lock so that they never race.

set(VELMOR_WINE_PREFIX ${CMAKE_BINARY_DIR}/wine)
set(VELMOR_WINE_STAMP ${VELMOR_WINE_PREFIX}/.velmor-ready)
# The test CA (ca.pem, ca.key, ca.der), trusted in the prefix; tests/support.
set(VELMOR_TEST_CA_DIR ${CMAKE_BINARY_DIR}/test-ca)
add_custom_command(
    OUTPUT ${VELMOR_WINE_STAMP}
    COMMAND ${PROJECT_SOURCE_DIR}/cmake/make-wine-prefix ${VELMOR_WINE_PREFIX} ${VELMOR_WINE_STAMP}
    DEPENDS ${PROJECT_SOURCE_DIR}/cmake/make-wine-prefix
    COMMENT "Creating the Wine prefix ${VELMOR_WINE_PREFIX}"
    VERBATIM)
add_custom_target(wine-prefix ALL DEPENDS ${VELMOR_WINE_STAMP})

# Debian's own Python, which has python3-pil; not whatever python3 comes first on PATH.
find_program(VELMOR_PYTHON python3 PATHS /usr/bin NO_DEFAULT_PATH REQUIRED)

# velmor_test_program(<target> [WIN32] SOURCES ... [LIBS ...] [DEFINES ...])
# A small Windows program of the tests', with the Unicode entry point (wmain,
# or wWinMain with WIN32).
function(velmor_test_program target)
    cmake_parse_arguments(ARG "WIN32" "" "SOURCES;LIBS;DEFINES" ${ARGN})
    set(kind)
    if(ARG_WIN32)
        set(kind WIN32)
    endif()
    add_executable(${target} ${kind} ${ARG_SOURCES})
    target_link_options(${target} PRIVATE -municode)
    target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR})
    target_compile_definitions(${target} PRIVATE ${ARG_DEFINES})
    target_link_libraries(${target} PRIVATE ${ARG_LIBS})
    velmor_warnings(${target})
endfunction()

# velmor_add_gtest(<target> SOURCES ... [LIBS ...] [GUI | LOCK name])
# LOCK: a ctest resource lock the program's tests hold instead of "display".
function(velmor_add_gtest target)
    cmake_parse_arguments(ARG "GUI" "LOCK" "SOURCES;LIBS" ${ARGN})
    add_executable(${target} ${ARG_SOURCES})
    target_link_libraries(${target} PRIVATE GTest::gtest_main ${ARG_LIBS})
    velmor_warnings(${target})
    add_dependencies(${target} wine-prefix)
    set(properties TIMEOUT 120)
    if(ARG_GUI)
        list(APPEND properties RESOURCE_LOCK display)
    elseif(ARG_LOCK)
        list(APPEND properties RESOURCE_LOCK ${ARG_LOCK})
    endif()
    gtest_discover_tests(${target}
        DISCOVERY_MODE PRE_TEST
        DISCOVERY_TIMEOUT 120
        PROPERTIES ${properties})
endfunction()

# velmor_add_pytest(<name> <script> [GUI] [TIMEOUT seconds] [ENV VAR=value ...])
# A Python test driver on the Linux side; it starts Windows programs through
# tests/support/velmor_test.py, which knows the prefix and the build folder.
function(velmor_add_pytest name script)
    cmake_parse_arguments(ARG "GUI" "TIMEOUT" "ENV" ${ARGN})
    if(NOT ARG_TIMEOUT)
        set(ARG_TIMEOUT 300)
    endif()
    add_test(NAME ${name} COMMAND ${VELMOR_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/${script})
    set(environment
        "PYTHONPATH=${PROJECT_SOURCE_DIR}/tests/support"
        "VELMOR_SOURCE_DIR=${PROJECT_SOURCE_DIR}"
        "VELMOR_BUILD_DIR=${CMAKE_BINARY_DIR}"
        "VELMOR_WINE_PREFIX=${VELMOR_WINE_PREFIX}"
        "VELMOR_WINTOOL=$<TARGET_FILE:wintool>"
        "VELMOR_TEST_CA_DIR=${VELMOR_TEST_CA_DIR}"
        ${ARG_ENV})
    set_tests_properties(${name} PROPERTIES ENVIRONMENT "${environment}" TIMEOUT ${ARG_TIMEOUT})
    if(ARG_GUI)
        set_tests_properties(${name} PROPERTIES RESOURCE_LOCK display)
    endif()
endfunction()
