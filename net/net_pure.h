// Platform-free part of the net module: standard headers only, no I/O.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

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
