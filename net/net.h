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
#include "net/release_manifest_pure.h"

// ---- Digests ------------------------------------------------------------------------------------

// SHA-256 of a file read in 1 MiB pieces; nothing when the file cannot be opened or read, or the
// provider fails.
std::optional<sha256_digest> sha256_file(const std::wstring& path);
// 64 lower-case hex characters of sha256_file; nothing when that gives nothing.
std::optional<std::wstring> sha256_file_hex(const std::wstring& path);
// SHA-256 of what is left to read through an open file (from its current position), in 1 MiB reads;
// nothing when a read fails or the provider fails. The handle is only borrowed.
std::optional<sha256_digest> sha256_open_file(HANDLE file);
// SHA-256 of the bytes; 32 zero bytes when the provider cannot be used.
sha256_digest sha256_bytes(std::string_view bytes);
// HMAC-SHA256 with a 64-byte block; keys over 64 bytes are hashed first.
sha256_digest hmac_sha256(std::string_view key, std::string_view message);

// Incremental SHA-256: bytes fed in pieces give the digest of all of them in order. A provider that
// fails at any step leaves `ok` false for good, and the finish then gives nothing.
struct sha256_stream {
    alg_handle provider;
    hash_handle hash;  // declared after its provider: it is destroyed first
    bool ok = false;
};
sha256_stream sha256_start();
void sha256_add(sha256_stream& stream, std::string_view bytes);
// The digest of everything added; nothing when the stream failed. The stream cannot be fed again.
std::optional<sha256_digest> sha256_finish(sha256_stream& stream);

// ---- HTTP request -------------------------------------------------------------------------------

enum class http_route { system_proxy, direct };

// GET over the route that worked last time first, then the other, through one cached session and
// connection (worker thread only). On success the returned request is positioned at the body of a
// 200 response and owned by the caller; on failure it is empty and `error` holds the second route's
// reason.
http_handle http_get(const std::wstring& url, std::wstring& error);

// ---- Download to file ---------------------------------------------------------------------------

// A downloaded file, still open through the handle that wrote it: write and delete access, read
// sharing only, so no other program can write, rename, replace or delete it while the record lives.
// Its digest was computed over exactly the bytes written. Destroying the record only closes the
// handle; the file stays.
struct downloaded_file {
    std::wstring path;
    kernel_handle file;
    std::uint64_t size = 0;
    std::optional<sha256_digest> digest;  // nothing when the platform's hash failed
};

// Streams the body of a GET into `path` through a 64 KiB buffer, hashing it on the way and reporting
// progress after each chunk, within `limits`: an announced Content-Length over the cap or unequal to an
// exact size is refused before the file is created (an existing file is left as it was); a body that
// passes the cap or the exact size is stopped before those bytes are written, and one that ends at
// another exact size is refused; a refused or broken body's file is deleted. On success the file is
// complete and held open (see downloaded_file); nothing with the reason in `error` otherwise.
std::optional<downloaded_file> download_to_file(const std::wstring& url, const std::wstring& path,
                                                const download_limits& limits, const download_progress& progress,
                                                std::wstring& error);

// Deletes the file through its own handle (whatever was put under its name in the meantime is not
// touched), then closes the handle. Best effort.
void discard_download(downloaded_file& download);

// Renames the file through its own handle onto `target`, replacing a file there, after flushing it
// to disk; the handle is closed either way. False with "не удалось сохранить скачанный файл (код N): "
// + target; the download then stays at its own path.
bool install_download(downloaded_file& download, const std::wstring& target, std::wstring& error);

// For a program that reads the file by its path (an unpacker): closes the download's writing handle
// and opens the file again for reading only, with read sharing only, so that it cannot be written,
// renamed or deleted while the returned handle is open; what it then holds is hashed through that
// handle and must equal the download's digest. Empty with the reason in `error` ("Файл изменён
// после скачивания: " + path when it differs, "Не удалось прочитать скачанный файл: " + path when it
// cannot be opened or read). The file is never deleted here.
kernel_handle hold_for_reading(downloaded_file& download, std::wstring& error);

// Deletes what a killed run may have left at a download's own temporary path: a file is deleted, a
// link of any kind is removed itself and never followed. True when nothing is left there.
bool remove_partial_download(const std::wstring& path);

// ---- Small bodies -----------------------------------------------------------------------------

// The body of a 200 response to `url` in memory, over the routes downloads use: at most `limit` + 1
// bytes are kept and nothing past them is read, so a body longer than `limit` comes back longer than
// `limit` (its parser refuses it) without filling memory. Nothing with the request's reason in `error`.
std::optional<std::string> fetch_small_body(const std::wstring& url, std::size_t limit, std::wstring& error);

// ---- Publisher signatures ----------------------------------------------------------------------

// Checks a downloaded file's digest (computed while it was downloaded) against the detached signature at
// `url` + ".sig", fetched over the same routes as the file (at most kSignatureBodyLimit bytes kept).
// `publisher_key_pem` is the public key the caller's build carries; empty means downloads are not
// checked: true at once, nothing fetched. False with the reason in `error`: "Не удалось скачать
// подпись файла: " + the request's reason, "Не удалось прочитать скачанный файл: " + `path` when there
// is no digest, or the reasons of verify_digest_signature. Never deletes the file: that is the
// caller's decision.
bool verify_download(const std::wstring& url, const std::wstring& path, const std::optional<sha256_digest>& digest,
                     std::string_view publisher_key_pem, std::wstring& error);
// ECDSA P-256 over a SHA-256 digest, with the signature in DER as openssl writes it. False with
// kSignatureDamagedText (not a signature), kSignatureWrongText (does not match the digest or the key),
// or "Не удалось проверить подпись файла (код N)" for a platform failure (N the status).
bool verify_digest_signature(const sha256_digest& digest, std::string_view der, const p256_point& key,
                             std::wstring& error);
// verify_digest_signature over the SHA-256 of the file's bytes, read by path; also false with "Не
// удалось прочитать скачанный файл: " + path.
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
