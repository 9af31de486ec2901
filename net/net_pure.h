// Platform-free part of the net module: standard headers only, no I/O.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

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
