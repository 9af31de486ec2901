// Platform-free part of the net module: standard headers only, no I/O.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/text_pure.h"

// Progress of a download: bytes received so far and bytes expected. An empty callable reports nothing.
using download_progress = std::function<void(std::uint64_t done, std::uint64_t total)>;

// ---- Download sizes -----------------------------------------------------------------------------

// How much a download may bring: never more than `max_bytes` (a build-time cap), and exactly
// `exact_bytes` when the caller knows the size in advance.
struct download_limits {
    std::uint64_t max_bytes = 0;
    std::optional<std::uint64_t> exact_bytes;
};

// A Content-Length header value as WinHTTP hands it over: one or more ASCII digits and nothing else
// (no sign, no blanks, no second value), at most 2^64 - 1. Anything else gives nothing, and the body's
// length then counts as unknown.
std::optional<std::uint64_t> parse_content_length(std::wstring_view text);

// The reason to refuse a response before its file is created, from its announced length (nothing when
// none was announced): "Файл на сервере слишком большой (N байт, допустимо не больше M)" over the
// cap, "Размер файла на сервере не совпадает с ожидаемым (N байт вместо E)" for another exact size.
// Nothing when the download may go on.
std::optional<std::wstring> announced_length_refusal(std::optional<std::uint64_t> announced,
                                                     const download_limits& limits);
// The reason to stop a body once `received` bytes would be in the file: "Сервер передаёт больше
// данных, чем допустимо (не больше M байт)" past the cap, "Сервер передаёт больше данных, чем
// ожидалось (E байт)" past an exact size (the smaller of the two limits is reported). Nothing
// while the body is within both.
std::optional<std::wstring> received_length_refusal(std::uint64_t received, const download_limits& limits);
// The reason to refuse a complete body of `received` bytes: "Размер скачанного файла не совпадает с
// ожидаемым (N байт вместо E)" when an exact size was given and differs. Nothing otherwise.
std::optional<std::wstring> final_length_refusal(std::uint64_t received, const download_limits& limits);

// ---- Ban check verdict --------------------------------------------------------------------------

enum class verdict { none, banned, not_banned };

// The ban check keeps at most this many body bytes (a generous cap: a verdict is a few dozen bytes);
// a longer body is cut there and searched as it is, so an endless body cannot exhaust memory.
constexpr std::size_t kBanBodyLimit = 1024 * 1024;

// The verdict of a ban check body: its four exact spellings, searched after ASCII lower-casing.
verdict match_verdict(std::string_view body);

// Appends at most `limit - body.size()` bytes of `chunk`; false once the body has reached `limit`.
bool append_within_limit(std::string& body, std::string_view chunk, std::size_t limit);

// ---- Digests ------------------------------------------------------------------------------------

using sha256_digest = std::array<std::uint8_t, 32>;

// A SHA-256 implementation handed in by the platform side (BCrypt on Windows).
using sha256_function = sha256_digest (*)(std::string_view bytes);

// 64 lower-case hex characters of the digest, high nibble first, byte 0 first.
std::wstring hex_lower(const sha256_digest& digest);

// HMAC (RFC 2104) over `sha256` with a 64-byte block: a key of up to 64 bytes is used as it is, a
// longer one is replaced by its digest. Whatever `sha256` returns is used, zeros included.
sha256_digest hmac_sha256_with(sha256_function sha256, std::string_view key, std::string_view message);

// ---- Publisher signatures -----------------------------------------------------------------------

// A P-256 public key as the raw point X‖Y (32 bytes each, big-endian), and an ECDSA P-256 signature
// as the raw r‖s: the forms the platform's verifier takes.
using p256_point = std::array<std::uint8_t, 64>;
using p256_signature = std::array<std::uint8_t, 64>;

// The point of a PEM public key as `openssl ec -pubout` writes it: one "PUBLIC KEY" block holding a
// SubjectPublicKeyInfo for id-ecPublicKey on prime256v1 with an uncompressed point. Blank lines, CR LF
// and text outside the block are allowed; anything else (another curve or key type, a compressed
// point, bad base64, trailing bytes in the block) gives nothing.
std::optional<p256_point> p256_point_from_pem(std::string_view pem);

// r‖s of a DER ECDSA-Sig-Value (SEQUENCE { INTEGER r, INTEGER s }) as `openssl dgst -sign` writes it.
// Strict DER: definite short lengths that cover the input exactly, minimal positive integers of at
// most 32 value bytes, neither zero. Anything else gives nothing.
std::optional<p256_signature> p256_signature_from_der(std::string_view der);

// A detached signature is at most 72 bytes of DER. Its download keeps at most this many bytes, so a
// server cannot make the shell hold more; anything longer fails to parse as a signature.
constexpr std::size_t kSignatureBodyLimit = 4096;

// The reason given for a signature file that is no signature, and for one that does not match the
// file (the file may have been replaced on its way).
constexpr const wchar_t* kSignatureDamagedText =
    L"Подпись файла повреждена. Сообщите администратору сервера.";
constexpr const wchar_t* kSignatureWrongText =
    L"Подпись файла неверна: файл мог быть подменён. Сообщите администратору сервера.";

// The reason for a failed verification from the verifier's status: kSignatureWrongText for
// STATUS_INVALID_SIGNATURE (0xC000A000), "Не удалось проверить подпись файла (код N)" for any other.
std::wstring signature_failure_text(std::uint32_t status);

// ---- Failure reports ----------------------------------------------------------------------------

// Every kind of final box a run can end in, in the order a run meets them.
enum class final_box {
    launcher_dir_not_writable,
    no_fingerprint,
    ban_check_failed,
    banned,
    java17_failed,
    launcher_download_failed,
    launcher_digest_failed,
    client_start_failed,
    watchdog_timeout,
    unexpected_error,
    worker_start_failed,
};

// The failure code the server knows the box by; nothing for the boxes that are never reported: a
// launcher folder that cannot be written (no log exists), no fingerprint (nothing to sign with) and
// the ban verdict (the server gave it).
std::optional<std::string_view> failure_code(final_box box);

// The server's limits on a report: the body, the box's text, the log's lines and each line, in bytes
// of UTF-8 (lines: a count).
constexpr std::size_t kReportBodyLimit = 16384;
constexpr std::size_t kReportTextLimit = 4096;
constexpr std::size_t kReportLogLines = 64;
constexpr std::size_t kReportLineLimit = 1000;

// The bytes as UTF-8 the server accepts: every ill-formed sequence (a stray continuation byte, an
// overlong form, a surrogate, a value above U+10FFFF, a cut-off sequence) and every NUL becomes U+FFFD.
std::string valid_utf8(std::string_view bytes);

// At most `limit` bytes of valid UTF-8, cut before the character that would not fit.
std::string_view cut_utf8(std::string_view valid, std::size_t limit);

// A JSON string literal (quotes included) of the bytes made valid as by valid_utf8: '"' and '\' are
// escaped with a backslash, characters below U+0020 as \u00XX, everything else is written as it is.
std::string json_string(std::string_view bytes);

// The last `count` lines of a log file's text, oldest first, each without its line end (LF, CR LF).
// A carriage return elsewhere in a line becomes a space. `whole` says the text starts at the file's
// start: then a leading byte order mark is dropped; otherwise the first line, which may be the cut-off
// end of a longer one, is dropped. A final line end does not make an empty last line.
std::vector<std::string> last_log_lines(std::string_view text, bool whole, std::size_t count);

// The user's profile folder becomes "%USERPROFILE%" and each of the user's names (the account's and the
// environment's, which may differ) "<user>", in UTF-8 text.
//
// Matching folds case the way a reader of Windows paths expects, without the platform's table: ASCII
// A-Z, Cyrillic А-Я and Ё to their lower-case letters; '/' and '\' count as the same character. The
// profile folder (trailing separators ignored) matches where it is followed by the end of the text or a
// character that cannot continue a folder name (so C:\Users\Ivan does not match C:\Users\Ivanov).
// The user name matches anywhere when it has at least kShortUserName characters (a name inside a
// longer word is masked too: nothing of it may leave the machine); a shorter name matches only as a
// whole path component (between separators or the text's ends), so a one-letter name does not mask
// every such letter. Replacements are never matched again. Empty names mask nothing; so does a profile
// folder of fewer than three characters (a bare drive). The result is valid UTF-8 (as valid_utf8).
constexpr std::size_t kShortUserName = 3;
std::string redact_personal(std::string_view text, std::string_view profile,
                            const std::vector<std::string>& users);

// What a report holds. All strings UTF-8; the text and the lines are made valid and cut by report_body.
struct report_fields {
    std::string hwid;
    std::string sig;
    std::string code;
    std::string shell_version;
    std::string windows_version;
    std::string text;
    std::vector<std::string> log;  // oldest first
};

// The report's JSON object: members in the order hwid, sig, code, shell_version, windows_version, text,
// log; no white space. The text is cut to kReportTextLimit bytes, each line to kReportLineLimit bytes
// (on character boundaries) and only the last kReportLogLines lines are kept; then the oldest lines are
// dropped until the body has at most kReportBodyLimit bytes, and if even no lines do not fit, the text
// is cut further (never below one character).
std::string report_body(const report_fields& fields);

// "a.b.c.d" from a version resource (VS_VERSIONINFO) as stored in the program file: the file version of
// its fixed part, found by its signature 0xFEEF04BD at a 4-byte boundary; empty when there is none.
std::string file_version_text(std::string_view resource);
