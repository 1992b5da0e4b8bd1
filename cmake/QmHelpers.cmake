# Target helpers: every library, program and test of the project is declared through these,
# so warnings, sanitizers and test registration are applied in one place.

set(QM_WARNINGS
    -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wold-style-cast -Wcast-qual -Wformat=2
    -Wimplicit-fallthrough -Wmissing-declarations -Wsuggest-override -Wundef)

if(QM_SANITIZE STREQUAL "address")
    set(QM_SAN_FLAGS -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
elseif(QM_SANITIZE STREQUAL "thread")
    set(QM_SAN_FLAGS -fsanitize=thread -fno-omit-frame-pointer)
elseif(NOT QM_SANITIZE STREQUAL "")
    message(FATAL_ERROR "QM_SANITIZE must be empty, 'address' or 'thread'")
endif()

function(qm_apply_options target)
    target_compile_options(${target} PRIVATE
        $<$<COMPILE_LANGUAGE:CXX>:${QM_WARNINGS}> ${QM_SAN_FLAGS})
    if(QM_WERROR)
        target_compile_options(${target} PRIVATE -Werror)
    endif()
    target_link_options(${target} PRIVATE ${QM_SAN_FLAGS})
    target_compile_definitions(${target} PRIVATE $<$<CONFIG:Debug>:_GLIBCXX_ASSERTIONS>
                                                 QM_VERSION_STRING="${QM_VERSION_STRING}")
    target_include_directories(${target} PUBLIC "${PROJECT_SOURCE_DIR}")
endfunction()

# qm_add_library(name [STATIC|SHARED|MODULE] SOURCES ... [DEPS ...])
function(qm_add_library name)
    cmake_parse_arguments(ARG "STATIC;SHARED;MODULE" "" "SOURCES;DEPS" ${ARGN})
    set(kind STATIC)
    if(ARG_SHARED)
        set(kind SHARED)
    elseif(ARG_MODULE)
        set(kind MODULE)
    endif()
    add_library(${name} ${kind} ${ARG_SOURCES})
    qm_apply_options(${name})
    if(ARG_DEPS)
        target_link_libraries(${name} PUBLIC ${ARG_DEPS})
    endif()
endfunction()

# qm_add_executable(name SOURCES ... [DEPS ...])
function(qm_add_executable name)
    cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    qm_apply_options(${name})
    if(ARG_DEPS)
        target_link_libraries(${name} PRIVATE ${ARG_DEPS})
    endif()
endfunction()

# qm_add_test(name SOURCES ... [DEPS ...] [LABELS ...] [TIMEOUT seconds])
# One GoogleTest binary; every test case becomes a CTest test so `ctest -j` spreads them.
function(qm_add_test name)
    if(NOT QM_BUILD_TESTS)
        return()
    endif()
    cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;DEPS;LABELS" ${ARGN})
    if(NOT ARG_LABELS)
        set(ARG_LABELS unit)
    endif()
    if(NOT ARG_TIMEOUT)
        set(ARG_TIMEOUT 120)
    endif()
    add_executable(${name} ${ARG_SOURCES})
    qm_apply_options(${name})
    target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gtest GTest::gtest_main GTest::gmock)
    # The test support library (testsupport/); named before it is declared when the folder comes later.
    if(EXISTS "${PROJECT_SOURCE_DIR}/testsupport/CMakeLists.txt")
        target_link_libraries(${name} PRIVATE qmtestsupport)
    endif()
    target_compile_definitions(${name} PRIVATE QM_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
                                               QM_BINARY_DIR="${PROJECT_BINARY_DIR}")
    gtest_discover_tests(${name}
        WORKING_DIRECTORY "${CMAKE_CURRENT_BINARY_DIR}"
        PROPERTIES LABELS "${ARG_LABELS}" TIMEOUT ${ARG_TIMEOUT}
        DISCOVERY_TIMEOUT 60)
endfunction()
