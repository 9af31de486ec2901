# Native Linux build of the platform-free core: host tests with AddressSanitizer and UBSan,
# and libFuzzer targets when the compiler is clang.
set(san -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)
target_compile_options(pure PRIVATE ${san})
target_link_options(pure PUBLIC ${san})

set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
include(CTest)

file(GLOB host_test_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/host/*.cpp)
add_executable(host_tests ${host_test_sources})
target_compile_options(host_tests PRIVATE ${warn} ${san})
target_link_libraries(host_tests PRIVATE pure gtest_main gmock)
add_test(NAME host_tests COMMAND host_tests)

if(QUILLMARSH_FUZZ AND CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    # The test command's fuzzing is reproducible: a fixed seed, the committed seed corpus in
    # tests/fuzz/corpus/<target>, a fixed number of executions; the time is only a cap. Long runs with
    # random seeds are scripts/fuzz.sh.
    set(QUILLMARSH_FUZZ_SEED 20261209 CACHE STRING "Seed of the fuzz targets in the test command")
    set(QUILLMARSH_FUZZ_RUNS 60000 CACHE STRING "Executions of each fuzz target in the test command")
    set(QUILLMARSH_FUZZ_SECONDS 30 CACHE STRING "Time cap of each fuzz target in the test command")
    file(GLOB fuzz_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/fuzz/*_fuzz.cpp)
    foreach(src ${fuzz_sources})
        get_filename_component(name ${src} NAME_WE)
        # The fuzz targets link a separate, fuzzer-instrumented copy of the pure sources.
        add_executable(${name} ${src} ${pure_sources})
        target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
        target_compile_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined -g)
        target_link_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
        add_test(NAME ${name}
                 COMMAND bash ${PROJECT_SOURCE_DIR}/tests/fuzz/run.sh $<TARGET_FILE:${name}>
                         ${PROJECT_SOURCE_DIR}/tests/fuzz/corpus/${name} ${CMAKE_BINARY_DIR}/fuzz/${name}
                         ${QUILLMARSH_FUZZ_SEED} ${QUILLMARSH_FUZZ_RUNS} ${QUILLMARSH_FUZZ_SECONDS})
        set_tests_properties(${name} PROPERTIES LABELS fuzz TIMEOUT 600)
    endforeach()
endif()
