// Server communication and integrity: HTTP requests, downloads, the ban check, digests.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/handle.h"
#include "net/net_pure.h"

// ---- Digests ------------------------------------------------------------------------------------

// SHA-256 of a file read in 1 MiB pieces; nothing when the file cannot be opened or read, or the
// provider fails.
std::optional<sha256_digest> sha256_file(const std::wstring& path);
// 64 lower-case hex characters of sha256_file; nothing when that gives nothing.
std::optional<std::wstring> sha256_file_hex(const std::wstring& path);
// SHA-256 of the bytes; 32 zero bytes when the provider cannot be used.
sha256_digest sha256_bytes(std::string_view bytes);
// HMAC-SHA256 with a 64-byte block; keys over 64 bytes are hashed first.
sha256_digest hmac_sha256(std::string_view key, std::string_view message);

// ---- HTTP request -------------------------------------------------------------------------------

enum class http_route { system_proxy, direct };

// GET over the route that worked last time first, then the other, through one cached session and
// connection (worker thread only). On success the returned request is positioned at the body of a
// 200 response and owned by the caller; on failure it is empty and `error` holds the second route's
// reason.
http_handle http_get(const std::wstring& url, std::wstring& error);

// ---- Download to file ---------------------------------------------------------------------------

// Streams the body of a GET into `path` through a 64 KiB buffer, reporting progress after each chunk.
// True when the whole body is in the file; a file it created is complete or deleted.
bool download_to_file(const std::wstring& url, const std::wstring& path, const download_progress& progress,
                      std::wstring& error);

// ---- Publisher signatures ----------------------------------------------------------------------

// Checks a downloaded file against the detached signature at `url` + ".sig", fetched over the same
// routes as the file (at most kSignatureBodyLimit bytes kept). `publisher_key_pem` is the public key
// the caller's build carries; empty means downloads are not checked: true at once, nothing fetched.
// False with the reason in `error`: "Не удалось скачать подпись файла: " + the request's reason, or
// the reasons of verify_file_signature. Never deletes the file: that is the caller's decision.
bool verify_download(const std::wstring& url, const std::wstring& path, std::string_view publisher_key_pem,
                     std::wstring& error);
// ECDSA P-256 over SHA-256 of the file's bytes, with the signature in DER as openssl writes it. False
// with kSignatureDamagedText (not a signature), kSignatureWrongText (does not match the file or the
// key), "Не удалось прочитать скачанный файл: " + path, or "Не удалось проверить подпись файла (код N)"
// for a platform failure (N the status).
bool verify_file_signature(const std::wstring& path, std::string_view der, const p256_point& key,
                           std::wstring& error);

// ---- Ban check ----------------------------------------------------------------------------------

struct ban_check_result {
    bool banned = false;
    bool answered = false;
};

// Asks base + "/launcher/hwid_ban.php?hwid=" + hwid + "&sig=" + sig, over the system proxy and then
// directly, each with a session of its own. `error` is meaningful only when `answered` is false.
ban_check_result check_hwid_ban(const std::wstring& base_url, const std::wstring& hwid, const std::wstring& sig,
                                std::wstring& error);

// ---- Failure report -----------------------------------------------------------------------------

// What a failure report is made of, gathered by the caller when the box is shown. Owned copies: the
// report may be sent on a thread of its own that outlives the caller's frame.
struct failure_report {
    std::wstring url;              // the server base + the report path
    std::string key;               // the deployment's HWID signing key: the body's HMAC, never sent
    std::wstring hwid;             // the fingerprint and its signature as the ban check sent them
    std::wstring sig;
    std::string code;              // failure_code of the box
    std::wstring text;             // the box's text
    std::wstring log_path;         // launcher.log; its last lines go with the report
    std::wstring profile;          // masked as %USERPROFILE%
    std::vector<std::wstring> user_names;  // masked as <user>
};

// Every WinHTTP phase of a report (resolve, connect, send, receive) ends within this time.
constexpr int kReportTimeoutMs = 3000;

// Builds the body (the log's last kReportLogLines lines, the text and the lines masked with
// redact_personal, the program's file version and the Windows version from RtlGetVersion) and POSTs it
// once, with the system's proxy settings and the relaxed certificate checks of the ban check, with
// "X-Quillmarsh-Mac: " + the lower-case hex HMAC-SHA256 of the body under `key`. No retry and no
// second route. True on a 200 answer; false with the reason in `error`. Touches no process-wide value
// of the program: it may run while the process ends.
bool send_failure_report(const failure_report& report, std::wstring& error);
