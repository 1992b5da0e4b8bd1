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

# With QM_FUZZ every target carries libFuzzer's coverage instrumentation; only the fuzzers link libFuzzer itself.
if(QM_FUZZ)
    if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
        message(FATAL_ERROR "QM_FUZZ needs clang: use the fuzz preset, or configure with CXX=clang++")
    endif()
    list(APPEND QM_SAN_FLAGS -fsanitize=fuzzer-no-link)
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

# Every program and library we ship carries the version marker of common/Version.cpp. Nothing need refer to it,
# so the linker is told to take it from the common library; the target is listed in QM_SHIPPED_TARGETS, which
# the test on the built files reads.
function(qm_embed_version target)
    target_link_libraries(${target} PRIVATE qmcommon)
    target_link_options(${target} PRIVATE "LINKER:--undefined=g_qmVersionMarker")
    set_property(GLOBAL APPEND PROPERTY QM_SHIPPED_TARGETS ${target})
endfunction()

# qm_add_library(name [STATIC|SHARED|MODULE] [SHIPPED] SOURCES ... [DEPS ...])
# SHIPPED: a library we install; it embeds the version string.
function(qm_add_library name)
    cmake_parse_arguments(ARG "STATIC;SHARED;MODULE;SHIPPED" "" "SOURCES;DEPS" ${ARGN})
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
    if(ARG_SHIPPED)
        qm_embed_version(${name})
    endif()
endfunction()

# qm_add_executable(name [SHIPPED] SOURCES ... [DEPS ...])
# SHIPPED: a program we install; it embeds the version string.
function(qm_add_executable name)
    cmake_parse_arguments(ARG "SHIPPED" "" "SOURCES;DEPS" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    qm_apply_options(${name})
    if(ARG_DEPS)
        target_link_libraries(${name} PRIVATE ${ARG_DEPS})
    endif()
    if(ARG_SHIPPED)
        qm_embed_version(${name})
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
    # A list value does not survive the discovery's PROPERTIES, so only the first label goes there; a script that
    # CTest runs after the discovered tests are declared gives them the whole list.
    list(GET ARG_LABELS 0 first_label)
    gtest_discover_tests(${name}
        WORKING_DIRECTORY "${CMAKE_CURRENT_BINARY_DIR}"
        PROPERTIES LABELS ${first_label} TIMEOUT ${ARG_TIMEOUT}
        DISCOVERY_TIMEOUT 60)
    list(LENGTH ARG_LABELS label_count)
    if(label_count GREATER 1)
        set(labels_script "${CMAKE_CURRENT_BINARY_DIR}/${name}_labels.cmake")
        file(GENERATE OUTPUT "${labels_script}"
             CONTENT "foreach(qm_test IN LISTS ${name}_TESTS)\n  set_tests_properties(\"\${qm_test}\" PROPERTIES LABELS \"${ARG_LABELS}\")\nendforeach()\n")
        set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${labels_script}")
    endif()
endfunction()

# qm_add_fuzzer(name SOURCES ... CORPUS dir [DEPS ...])
# A libFuzzer target: SOURCES define LLVMFuzzerTestOneInput, CORPUS is its seed corpus (relative to the folder).
# With QM_FUZZ the target is a fuzzer, built by the target qm_fuzzers and listed in <build>/fuzzers.txt for
# scripts/test. In a build with tests the same entry is linked with a small main instead, and replaying the seed
# corpus through it is the test <name>.Corpus.
function(qm_add_fuzzer name)
    cmake_parse_arguments(ARG "" "CORPUS" "SOURCES;DEPS" ${ARGN})
    if(NOT ARG_CORPUS)
        message(FATAL_ERROR "qm_add_fuzzer(${name}) needs a CORPUS")
    endif()
    get_filename_component(corpus "${ARG_CORPUS}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
    if(QM_FUZZ)
        set(target ${name})
        add_executable(${target} ${ARG_SOURCES})
        target_compile_options(${target} PRIVATE -fsanitize=fuzzer)
        target_link_options(${target} PRIVATE -fsanitize=fuzzer)
        if(NOT TARGET qm_fuzzers)
            add_custom_target(qm_fuzzers)
        endif()
        add_dependencies(qm_fuzzers ${target})
        set_property(GLOBAL APPEND PROPERTY QM_FUZZER_LIST "${name} $<TARGET_FILE:${target}> ${corpus}")
    elseif(QM_BUILD_TESTS)
        set(target ${name}_replay)
        add_executable(${target} ${ARG_SOURCES} "${PROJECT_SOURCE_DIR}/testsupport/FuzzReplayMain.cpp")
        add_test(NAME ${name}.Corpus COMMAND ${target} "${corpus}")
        set_tests_properties(${name}.Corpus PROPERTIES LABELS "unit;fuzz" TIMEOUT 120)
    else()
        return()
    endif()
    qm_apply_options(${target})
    target_link_libraries(${target} PRIVATE ${ARG_DEPS})
    target_compile_definitions(${target} PRIVATE QM_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
                                                 QM_BINARY_DIR="${PROJECT_BINARY_DIR}")
endfunction()
