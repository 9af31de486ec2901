# Deployment values: the built-in server host, the download paths, the product name of the release
# manifest and the HWID signing key.
# They are taken at configure time and written into a generated header in scrambled form only
# (byte i XOR (90 + 7*i) mod 256), so none of the plain texts appears in the program file.
# The header lives in the build tree and is never committed.

set(QUILLMARSH_SERVER_HOST "lobby.quillmarsh.net" CACHE STRING
    "Built-in server host (the text after https://); the default is 20 bytes")
set(QUILLMARSH_JAVA_ARCHIVE_PATH "/launcher/Java17.zip" CACHE STRING
    "Server path of the Java 17 archive; the default is 20 bytes")
set(QUILLMARSH_LAUNCHER_JAR_PATH "/launcher/QuillmarshLauncher.jar" CACHE STRING
    "Server path of the launcher jar; the default is 32 bytes")
set(QUILLMARSH_SHELL_PATH "/launcher/QuillmarshLauncher.exe" CACHE STRING
    "Server path of the shell exe a release manifest may offer (its file shell line); used by builds with a publisher key")
set(QUILLMARSH_RELEASE_PATH "/launcher/release.txt" CACHE STRING
    "Server path of the release manifest (its signature is the same path + .sig); used by builds with a publisher key")
set(QUILLMARSH_PRODUCT "quillmarsh" CACHE STRING
    "Product name a release manifest must carry: 1..64 of A-Z a-z 0-9 . _ -")
# The program's file and product version (version record, application manifest): a.b.c.d, each 0..65535.
set(QUILLMARSH_VERSION "1.0.0.0" CACHE STRING "File version of the program, a.b.c.d, each part 0..65535")
# DEVELOPMENT KEY: shared with the reference server's development configuration only.
# A real deployment passes its own secret: -DQUILLMARSH_HWID_KEY=... (never commit it).
set(QUILLMARSH_HWID_KEY "quillmarsh-dev-key-NOT-FOR-RELEASE" CACHE STRING
    "HWID signing key shared with the server (34 bytes in the development default)")

# Where a build with failure reports (QUILLMARSH_FAILURE_REPORTS) sends them, below the server base.
set(QUILLMARSH_REPORT_PATH "/launcher/report.php" CACHE STRING
    "Server path of the failure reports; the default is 20 bytes")

# Signed payloads (off by default): a file with the publisher's P-256 public key in PEM, as
# `openssl ec -pubout` writes it. With a key, downloads are checked against the publisher's signatures
# before they are used. Only the file's PUBLIC KEY block is embedded; a file that also holds a private
# key is refused, so a key pair kept in one file can never end up inside every program.
set(QUILLMARSH_PUBLISHER_KEY "" CACHE FILEPATH
    "PEM file with the publisher's P-256 public key; empty: downloads are not signature-checked")

# Scrambles the UTF-8 bytes of TEXT into a C initializer list in OUT_VAR and its length in OUT_LEN.
function(quillmarsh_scramble TEXT OUT_VAR OUT_LEN)
    string(HEX "${TEXT}" hex)
    string(LENGTH "${hex}" hex_len)
    math(EXPR n "${hex_len} / 2")
    set(items "")
    if(n GREATER 0)
        math(EXPR last "${n} - 1")
        foreach(i RANGE 0 ${last})
            math(EXPR off "${i} * 2")
            string(SUBSTRING "${hex}" ${off} 2 byte_hex)
            math(EXPR plain "0x${byte_hex}")
            math(EXPR stored "${plain} ^ ((90 + 7 * ${i}) % 256)" OUTPUT_FORMAT HEXADECIMAL)
            list(APPEND items "${stored}")
        endforeach()
    endif()
    list(JOIN items ", " joined)
    set(${OUT_VAR} "${joined}" PARENT_SCOPE)
    set(${OUT_LEN} ${n} PARENT_SCOPE)
endfunction()

# The publisher key file's PUBLIC KEY block (with its LF line ends) into OUT_VAR, or "" without a key.
# Checked here, so a wrong file fails the build, not every player's download. CHECK_FILE is a scratch
# file in the build tree that the extracted block is written to for openssl's look at it.
function(quillmarsh_read_publisher_key OUT_VAR CHECK_FILE)
    set(${OUT_VAR} "" PARENT_SCOPE)
    if(NOT QUILLMARSH_PUBLISHER_KEY)
        return()
    endif()
    if(NOT EXISTS "${QUILLMARSH_PUBLISHER_KEY}")
        message(FATAL_ERROR "QUILLMARSH_PUBLISHER_KEY: no such file: ${QUILLMARSH_PUBLISHER_KEY}")
    endif()
    file(READ "${QUILLMARSH_PUBLISHER_KEY}" text)
    # Any private key block (EC PRIVATE KEY, PRIVATE KEY, ENCRYPTED PRIVATE KEY, RSA ...): the signing
    # key belongs on the publishing machine only, never in a program every player downloads.
    if(text MATCHES "PRIVATE KEY")
        message(FATAL_ERROR "QUILLMARSH_PUBLISHER_KEY (${QUILLMARSH_PUBLISHER_KEY}) holds a PRIVATE KEY block. "
                            "Give the build the public key only: openssl ec -in <private.pem> -pubout -out public.pem")
    endif()
    string(REPLACE "\r" "" text "${text}")
    string(FIND "${text}" "-----BEGIN PUBLIC KEY-----" begin)
    string(FIND "${text}" "-----BEGIN PUBLIC KEY-----" last_begin REVERSE)
    set(end_line "-----END PUBLIC KEY-----")
    string(FIND "${text}" "${end_line}" end)
    if(begin EQUAL -1 OR end LESS begin)
        message(FATAL_ERROR "QUILLMARSH_PUBLISHER_KEY must be a PEM public key (openssl ec -pubout)")
    endif()
    if(NOT last_begin EQUAL begin)
        message(FATAL_ERROR "QUILLMARSH_PUBLISHER_KEY holds more than one PUBLIC KEY block")
    endif()
    string(LENGTH "${end_line}" end_length)
    math(EXPR length "${end} + ${end_length} - ${begin}")
    string(SUBSTRING "${text}" ${begin} ${length} pem)
    string(APPEND pem "\n")
    file(WRITE "${CHECK_FILE}" "${pem}")
    find_program(QUILLMARSH_OPENSSL openssl)
    if(QUILLMARSH_OPENSSL)
        execute_process(COMMAND ${QUILLMARSH_OPENSSL} pkey -pubin -in "${CHECK_FILE}" -noout -text
                        OUTPUT_VARIABLE key_text ERROR_QUIET RESULT_VARIABLE key_status)
        if(NOT key_status EQUAL 0 OR NOT key_text MATCHES "prime256v1")
            message(FATAL_ERROR "QUILLMARSH_PUBLISHER_KEY must be a P-256 (prime256v1) public key")
        endif()
    endif()
    file(SHA256 "${CHECK_FILE}" key_sha)
    message(STATUS "Publisher key: ${QUILLMARSH_PUBLISHER_KEY} (sha256 of its PUBLIC KEY block ${key_sha}); "
                   "downloads are signature-checked")
    set(${OUT_VAR} "${pem}" PARENT_SCOPE)
endfunction()

# The program's version into DIR/version_values.h (for the resource script) and DIR/app.manifest (the
# application manifest with that assembly version). QUILLMARSH_VERSION is a.b.c.d, each 0..65535 in
# plain decimal: the form the release manifest's shell line uses too.
function(quillmarsh_write_version_files DIR)
    set(part "(0|[1-9][0-9]?[0-9]?[0-9]?[0-9]?)")
    if(NOT QUILLMARSH_VERSION MATCHES "^${part}\\.${part}\\.${part}\\.${part}$")
        message(FATAL_ERROR "QUILLMARSH_VERSION must be a.b.c.d, each part 0..65535 (got '${QUILLMARSH_VERSION}')")
    endif()
    string(REPLACE "." ";" parts "${QUILLMARSH_VERSION}")
    foreach(p ${parts})
        if(p GREATER 65535)
            message(FATAL_ERROR "QUILLMARSH_VERSION must be a.b.c.d, each part 0..65535 (got '${QUILLMARSH_VERSION}')")
        endif()
    endforeach()
    string(REPLACE "." "," commas "${QUILLMARSH_VERSION}")
    set(manifest_source "${PROJECT_SOURCE_DIR}/shell/resources/app.manifest")
    set_property(DIRECTORY "${PROJECT_SOURCE_DIR}" APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${manifest_source}")
    file(READ "${manifest_source}" manifest)
    set(identity "<assemblyIdentity name=\"QuillmarshLauncher.Shell\" version=\"")
    if(NOT manifest MATCHES "${identity}[0-9.]+\"")
        message(FATAL_ERROR "shell/resources/app.manifest: no assemblyIdentity version of QuillmarshLauncher.Shell")
    endif()
    string(REGEX REPLACE "${identity}[0-9.]+\"" "${identity}${QUILLMARSH_VERSION}\"" versioned "${manifest}")
    file(CONFIGURE OUTPUT "${DIR}/app.manifest" CONTENT "${versioned}" @ONLY)
    set(body "// Generated at configure time from QUILLMARSH_VERSION, for shell/resources/app.rc.\n#pragma once\n")
    string(APPEND body "#define QUILLMARSH_VERSION_COMMAS ${commas}\n")
    string(APPEND body "#define QUILLMARSH_VERSION_TEXT \"${QUILLMARSH_VERSION}\"\n")
    string(APPEND body "#define QUILLMARSH_APP_MANIFEST \"${DIR}/app.manifest\"\n")
    file(CONFIGURE OUTPUT "${DIR}/version_values.h" CONTENT "${body}")
endfunction()

function(quillmarsh_write_deployment_header PATH)
    set(body "// Generated at configure time from the deployment values; scrambled, never committed.\n")
    string(APPEND body "#pragma once\n#include <cstddef>\n#include <cstdint>\n\nnamespace deployment {\n")
    string(LENGTH "${QUILLMARSH_PRODUCT}" product_length)
    if(NOT QUILLMARSH_PRODUCT MATCHES "^[A-Za-z0-9._-]+$" OR product_length GREATER 64)
        message(FATAL_ERROR "QUILLMARSH_PRODUCT must be 1..64 of A-Z a-z 0-9 . _ - (got '${QUILLMARSH_PRODUCT}')")
    endif()
    if(NOT QUILLMARSH_SHELL_PATH MATCHES "^/")
        message(FATAL_ERROR "QUILLMARSH_SHELL_PATH must start with / (got '${QUILLMARSH_SHELL_PATH}')")
    endif()
    if(NOT QUILLMARSH_RELEASE_PATH MATCHES "^/")
        message(FATAL_ERROR "QUILLMARSH_RELEASE_PATH must start with / (got '${QUILLMARSH_RELEASE_PATH}')")
    endif()
    foreach(pair "server_host;QUILLMARSH_SERVER_HOST" "java_archive_path;QUILLMARSH_JAVA_ARCHIVE_PATH"
                 "launcher_jar_path;QUILLMARSH_LAUNCHER_JAR_PATH" "release_path;QUILLMARSH_RELEASE_PATH"
                 "shell_path;QUILLMARSH_SHELL_PATH" "report_path;QUILLMARSH_REPORT_PATH"
                 "product;QUILLMARSH_PRODUCT" "hwid_key;QUILLMARSH_HWID_KEY")
        list(GET pair 0 name)
        list(GET pair 1 var)
        quillmarsh_scramble("${${var}}" items len)
        if(len EQUAL 0)
            message(FATAL_ERROR "${var} must not be empty")
        endif()
        string(APPEND body "inline constexpr std::uint8_t ${name}[${len}] = {${items}};\n")
    endforeach()
    quillmarsh_read_publisher_key(pem "${PATH}.publisher-key.pem")
    string(REPLACE "\n" "\\n" pem_literal "${pem}")
    string(REPLACE "\r" "" pem_literal "${pem_literal}")
    string(APPEND body "// The publisher's public key (PEM), empty when downloads are not signature-checked.\n")
    string(APPEND body "inline constexpr char publisher_key_pem[] = \"${pem_literal}\";\n")
    string(APPEND body "}  // namespace deployment\n")
    file(CONFIGURE OUTPUT "${PATH}" CONTENT "${body}")
    get_filename_component(dir "${PATH}" DIRECTORY)
    quillmarsh_write_version_files("${dir}")
endfunction()

# Download caps: the most bytes the shell takes for the launcher jar and for the Java archive. An
# announced larger file is refused before anything is written; a body that grows past its cap (no
# length, or a false one) is stopped there and deleted. Plain numbers, not secrets: written as they are
# into a header of their own.
set(QUILLMARSH_MAX_JAR_BYTES "268435456" CACHE STRING "Largest launcher jar the shell downloads, in bytes (256 MiB)")
set(QUILLMARSH_MAX_ARCHIVE_BYTES "2147483648" CACHE STRING "Largest Java archive the shell downloads, in bytes (2 GiB)")

function(quillmarsh_write_download_caps_header PATH)
    set(body "// Generated at configure time from the download caps.\n#pragma once\n#include <cstdint>\n\n")
    string(APPEND body "namespace deployment {\n")
    foreach(pair "max_jar_bytes;QUILLMARSH_MAX_JAR_BYTES" "max_archive_bytes;QUILLMARSH_MAX_ARCHIVE_BYTES")
        list(GET pair 0 name)
        list(GET pair 1 var)
        # Decimal, 1 to 2^63 - 1 (what CMake's own numbers can hold): anything else fails the build.
        if(NOT "${${var}}" MATCHES "^[1-9][0-9]*$")
            message(FATAL_ERROR "${var} must be a positive decimal number of bytes, not '${${var}}'")
        endif()
        string(LENGTH "${${var}}" digits)
        if(digits GREATER 19 OR (digits EQUAL 19 AND "${${var}}" STRGREATER "9223372036854775807"))
            message(FATAL_ERROR "${var} is larger than 9223372036854775807")
        endif()
        string(APPEND body "inline constexpr std::uint64_t ${name} = ${${var}}ull;\n")
    endforeach()
    string(APPEND body "}  // namespace deployment\n")
    file(CONFIGURE OUTPUT "${PATH}" CONTENT "${body}")
endfunction()
