# Deployment values: the built-in server host, the two download paths and the HWID signing key.
# They are taken at configure time and written into a generated header in scrambled form only
# (byte i XOR (90 + 7*i) mod 256), so none of the plain texts appears in the program file.
# The header lives in the build tree and is never committed.

set(QUILLMARSH_SERVER_HOST "lobby.quillmarsh.net" CACHE STRING
    "Built-in server host (the text after https://); the default is 20 bytes")
set(QUILLMARSH_JAVA_ARCHIVE_PATH "/launcher/Java17.zip" CACHE STRING
    "Server path of the Java 17 archive; the default is 20 bytes")
set(QUILLMARSH_LAUNCHER_JAR_PATH "/launcher/QuillmarshLauncher.jar" CACHE STRING
    "Server path of the launcher jar; the default is 32 bytes")
# DEVELOPMENT KEY: shared with the reference server's development configuration only.
# A real deployment passes its own secret: -DQUILLMARSH_HWID_KEY=... (never commit it).
set(QUILLMARSH_HWID_KEY "quillmarsh-dev-key-NOT-FOR-RELEASE" CACHE STRING
    "HWID signing key shared with the server (34 bytes in the development default)")

# Where a build with failure reports (QUILLMARSH_FAILURE_REPORTS) sends them, below the server base.
set(QUILLMARSH_REPORT_PATH "/launcher/report.php" CACHE STRING
    "Server path of the failure reports; the default is 20 bytes")

# Signed payloads (off by default): a file with the publisher's P-256 public key in PEM, as
# `openssl ec -pubout` writes it. With a key, every downloaded jar and Java archive must carry a valid
# detached signature (<payload>.sig) before it is used. The key is public; it is embedded as it is.
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

function(quillmarsh_write_deployment_header PATH)
    set(body "// Generated at configure time from the deployment values; scrambled, never committed.\n")
    string(APPEND body "#pragma once\n#include <cstddef>\n#include <cstdint>\n\nnamespace deployment {\n")
    foreach(pair "server_host;QUILLMARSH_SERVER_HOST" "java_archive_path;QUILLMARSH_JAVA_ARCHIVE_PATH"
                 "launcher_jar_path;QUILLMARSH_LAUNCHER_JAR_PATH" "report_path;QUILLMARSH_REPORT_PATH"
                 "hwid_key;QUILLMARSH_HWID_KEY")
        list(GET pair 0 name)
        list(GET pair 1 var)
        quillmarsh_scramble("${${var}}" items len)
        if(len EQUAL 0)
            message(FATAL_ERROR "${var} must not be empty")
        endif()
        string(APPEND body "inline constexpr std::uint8_t ${name}[${len}] = {${items}};\n")
    endforeach()
    # The publisher key: its PEM text, or nothing. Checked here, so a wrong file fails the build, not
    # every player's download.
    set(pem "")
    if(QUILLMARSH_PUBLISHER_KEY)
        if(NOT EXISTS "${QUILLMARSH_PUBLISHER_KEY}")
            message(FATAL_ERROR "QUILLMARSH_PUBLISHER_KEY: no such file: ${QUILLMARSH_PUBLISHER_KEY}")
        endif()
        file(READ "${QUILLMARSH_PUBLISHER_KEY}" pem)
        if(NOT pem MATCHES "-----BEGIN PUBLIC KEY-----")
            message(FATAL_ERROR "QUILLMARSH_PUBLISHER_KEY must be a PEM public key (openssl ec -pubout)")
        endif()
        find_program(QUILLMARSH_OPENSSL openssl)
        if(QUILLMARSH_OPENSSL)
            execute_process(COMMAND ${QUILLMARSH_OPENSSL} pkey -pubin -in "${QUILLMARSH_PUBLISHER_KEY}" -noout -text
                            OUTPUT_VARIABLE key_text ERROR_QUIET RESULT_VARIABLE key_status)
            if(NOT key_status EQUAL 0 OR NOT key_text MATCHES "prime256v1")
                message(FATAL_ERROR "QUILLMARSH_PUBLISHER_KEY must be a P-256 (prime256v1) public key")
            endif()
        endif()
        file(SHA256 "${QUILLMARSH_PUBLISHER_KEY}" key_sha)
        message(STATUS "Publisher key: ${QUILLMARSH_PUBLISHER_KEY} (sha256 ${key_sha}); downloads are signature-checked")
    endif()
    string(REPLACE "\n" "\\n" pem_literal "${pem}")
    string(REPLACE "\r" "" pem_literal "${pem_literal}")
    string(APPEND body "// The publisher's public key (PEM), empty when downloads are not signature-checked.\n")
    string(APPEND body "inline constexpr char publisher_key_pem[] = \"${pem_literal}\";\n")
    string(APPEND body "}  // namespace deployment\n")
    file(CONFIGURE OUTPUT "${PATH}" CONTENT "${body}")
endfunction()
