# Release build of the program (preset "windows-release"): reproducible, small, optionally signed.
#
# Reproducible: two builds of the same commit in different folders give byte-identical files. The link
# writes no time stamp into the PE header (--no-insert-timestamp); build paths are mapped to fixed
# names (-ffile-prefix-map) and there is no debug information (the exe is stripped); static archives
# are written in deterministic mode (ar D: no times, owners or modes).
# Small: every function and datum in its own section, unreferenced sections dropped by the linker.
# Signed: when QUILLMARSH_SIGN_CERT and QUILLMARSH_SIGN_KEY are set, scripts/sign.sh signs the exe with
# Authenticode after the link, without a time-stamp server; the signing time is fixed (see below), so a
# signed build is reproducible too.

option(QUILLMARSH_RELEASE "Reproducible, stripped, size-optimised release link of the program" OFF)
set(QUILLMARSH_SIGN_CERT "" CACHE FILEPATH "Authenticode certificate chain (PEM or DER); empty: no signing")
set(QUILLMARSH_SIGN_KEY "" CACHE FILEPATH "Private key of the certificate (PEM or DER); never kept in the repository")
set(QUILLMARSH_SIGN_PASS_FILE "" CACHE FILEPATH "File holding the key's password, if it has one")
set(QUILLMARSH_SIGN_TIME "" CACHE STRING
    "Signing time written into the signature (Unix seconds); empty: SOURCE_DATE_EPOCH, else the commit time")

if(QUILLMARSH_RELEASE)
    set(release_compile_options
        -ffunction-sections -fdata-sections
        "-ffile-prefix-map=${PROJECT_SOURCE_DIR}=."
        "-ffile-prefix-map=${PROJECT_BINARY_DIR}=build"
        -g0)
    foreach(t pure shellcore failure_report QuillmarshLauncher)
        target_compile_options(${t} PRIVATE ${release_compile_options})
    endforeach()
    target_link_options(QuillmarshLauncher PRIVATE
        -s -Wl,--gc-sections -Wl,--no-insert-timestamp -Wl,--build-id=none)
    # Deterministic archives whatever the binutils default is.
    set(CMAKE_C_ARCHIVE_CREATE "<CMAKE_AR> qcD <TARGET> <LINK_FLAGS> <OBJECTS>")
    set(CMAKE_CXX_ARCHIVE_CREATE "<CMAKE_AR> qcD <TARGET> <LINK_FLAGS> <OBJECTS>")
    set(CMAKE_C_ARCHIVE_APPEND "<CMAKE_AR> qD <TARGET> <LINK_FLAGS> <OBJECTS>")
    set(CMAKE_CXX_ARCHIVE_APPEND "<CMAKE_AR> qD <TARGET> <LINK_FLAGS> <OBJECTS>")
    set(CMAKE_C_ARCHIVE_FINISH "<CMAKE_RANLIB> -D <TARGET>")
    set(CMAKE_CXX_ARCHIVE_FINISH "<CMAKE_RANLIB> -D <TARGET>")
endif()

if(QUILLMARSH_SIGN_CERT OR QUILLMARSH_SIGN_KEY)
    if(NOT QUILLMARSH_SIGN_CERT OR NOT QUILLMARSH_SIGN_KEY)
        message(FATAL_ERROR "signing needs both QUILLMARSH_SIGN_CERT and QUILLMARSH_SIGN_KEY")
    endif()
    set(sign_time "${QUILLMARSH_SIGN_TIME}")
    if(sign_time STREQUAL "" AND DEFINED ENV{SOURCE_DATE_EPOCH})
        set(sign_time "$ENV{SOURCE_DATE_EPOCH}")
    endif()
    if(sign_time STREQUAL "")
        execute_process(COMMAND git -C "${PROJECT_SOURCE_DIR}" log -1 --format=%ct
                        OUTPUT_VARIABLE sign_time OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    endif()
    add_custom_command(TARGET QuillmarshLauncher POST_BUILD
        COMMAND ${CMAKE_COMMAND} -E env
                "QUILLMARSH_SIGN_CERT=${QUILLMARSH_SIGN_CERT}" "QUILLMARSH_SIGN_KEY=${QUILLMARSH_SIGN_KEY}"
                "QUILLMARSH_SIGN_PASS_FILE=${QUILLMARSH_SIGN_PASS_FILE}" "QUILLMARSH_SIGN_TIME=${sign_time}"
                bash "${PROJECT_SOURCE_DIR}/scripts/sign.sh" "$<TARGET_FILE:QuillmarshLauncher>"
        COMMENT "Signing QuillmarshLauncher.exe (Authenticode, no time-stamp server)"
        VERBATIM)
endif()
