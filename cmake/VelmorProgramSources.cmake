# The sources that each installer program (and each test program that runs
# the window) compiles itself, with its own values: the download host and the
# support page, and, for the test variants, VELMOR_TEST_HOOKS, whose seams
# (base/test_hooks.h) must never reach the shipped installer. Everything else
# is in the subsystems' libraries.
#
# velmor_program_sources(<target> [NO_WORKER] [DOWNLOAD_HOST host] [SUPPORT_URL url]
#                        [PUBLISHER_KEYS digest,digest...] [DEFINES ...])
# NO_WORKER: not the install worker, for a test with a stand-in. Without
# DOWNLOAD_HOST or SUPPORT_URL the program gets the cache variables' values;
# without PUBLISHER_KEYS it checks no publisher.
function(velmor_program_sources target)
    cmake_parse_arguments(ARG "NO_WORKER" "DOWNLOAD_HOST;SUPPORT_URL;PUBLISHER_KEYS" "DEFINES" ${ARGN})
    if(NOT ARG_DOWNLOAD_HOST)
        set(ARG_DOWNLOAD_HOST "${VELMOR_DOWNLOAD_HOST}")
    endif()
    if(NOT ARG_SUPPORT_URL)
        set(ARG_SUPPORT_URL "${VELMOR_SUPPORT_URL}")
    endif()
    if(NOT ARG_DOWNLOAD_HOST MATCHES "^[A-Za-z0-9.-]+(:[0-9]+)?$")
        message(FATAL_ERROR "${target}: download host must be a host name, optionally with :port")
    endif()
    if(NOT ARG_SUPPORT_URL MATCHES "^https://[A-Za-z0-9.-]+$")
        message(FATAL_ERROR "${target}: support URL must be https:// and a host, nothing else")
    endif()
    string(REPLACE "," ";" ARG_PUBLISHER_KEYS "${ARG_PUBLISHER_KEYS}")
    foreach(key IN LISTS ARG_PUBLISHER_KEYS)
        if(NOT key MATCHES "^[0-9A-Fa-f]+$")
            message(FATAL_ERROR "${target}: publisher key \"${key}\" is not a hex SHA-256 digest")
        endif()
        string(LENGTH "${key}" length)
        if(NOT length EQUAL 64)
            message(FATAL_ERROR "${target}: publisher key \"${key}\" is not 64 hex digits")
        endif()
    endforeach()
    string(REPLACE ";" "," publisher_keys "${ARG_PUBLISHER_KEYS}")
    # An object library per program keeps the values out of every other target.
    add_library(${target}_sources OBJECT
        ${PROJECT_SOURCE_DIR}/install/endpoints.cpp
        ${PROJECT_SOURCE_DIR}/install/failure_prompt.cpp
        ${PROJECT_SOURCE_DIR}/registration/register_product.cpp
        ${PROJECT_SOURCE_DIR}/registration/software_list_file.cpp)
    if(NOT ARG_NO_WORKER)
        target_sources(${target}_sources PRIVATE ${PROJECT_SOURCE_DIR}/install/worker.cpp)
    endif()
    target_include_directories(${target}_sources PRIVATE ${PROJECT_SOURCE_DIR})
    target_compile_definitions(${target}_sources PRIVATE
        "VELMOR_DOWNLOAD_HOST=\"${ARG_DOWNLOAD_HOST}\""
        "VELMOR_SUPPORT_URL=\"${ARG_SUPPORT_URL}\""
        "VELMOR_PUBLISHER_KEYS=\"${publisher_keys}\"" ${ARG_DEFINES})
    velmor_warnings(${target}_sources)
    target_sources(${target} PRIVATE $<TARGET_OBJECTS:${target}_sources>)
endfunction()
