// SHA-256 of files and byte strings through BCrypt, and HMAC-SHA256 on top of it.
#include <limits>
#include <memory>

#include "net/net.h"

namespace {

constexpr DWORD read_piece = 1048576;  // files are hashed in 1 MiB reads, never held whole

// Feeds any length to the hash: BCryptHashData takes a 32-bit count.
bool hash_data(BCRYPT_HASH_HANDLE hash, const std::uint8_t* data, std::size_t size) {
    constexpr std::size_t max_piece = std::numeric_limits<ULONG>::max();
    do {
        const std::size_t piece = size < max_piece ? size : max_piece;
        // BCrypt does not write through the input pointer; its prototype just lacks the const.
        auto* input = const_cast<PUCHAR>(reinterpret_cast<const UCHAR*>(data));
        if (!BCRYPT_SUCCESS(BCryptHashData(hash, input, static_cast<ULONG>(piece), 0))) return false;
        data += piece;
        size -= piece;
    } while (size > 0);
    return true;
}

}  // namespace

std::optional<sha256_digest> sha256_open_file(HANDLE file) {
    sha256_stream stream = sha256_start();
    if (!stream.ok) return std::nullopt;
    const std::unique_ptr<char[]> buffer(new char[read_piece]);
    for (;;) {
        DWORD got = 0;
        // A failed read is not the end of the file: a digest of the bytes so far would be reported as
        // the file's digest, so the caller gets nothing instead.
        if (!ReadFile(file, buffer.get(), read_piece, &got, nullptr)) return std::nullopt;
        if (got == 0) break;
        sha256_add(stream, std::string_view(buffer.get(), got));
    }
    return sha256_finish(stream);
}

std::optional<sha256_digest> sha256_file(const std::wstring& path) {
    // Read sharing only: a file someone is still writing is not hashed half-way.
    const kernel_handle file{CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                         FILE_ATTRIBUTE_NORMAL, nullptr)};
    if (!file) return std::nullopt;
    return sha256_open_file(file.get());
}

std::optional<std::wstring> sha256_file_hex(const std::wstring& path) {
    const std::optional<sha256_digest> digest = sha256_file(path);
    if (!digest) return std::nullopt;
    return hex_lower(*digest);
}

sha256_digest sha256_bytes(std::string_view bytes) {
    sha256_digest digest{};
    alg_handle provider;
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(provider.put(), BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
        return digest;
    }
    hash_handle hash;
    if (!BCRYPT_SUCCESS(BCryptCreateHash(provider.get(), hash.put(), nullptr, 0, nullptr, 0, 0))) return digest;
    // Zeros are the one failure value callers know; a half-fed or half-finished digest is not passed on.
    if (!hash_data(hash.get(), reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()) ||
        !BCRYPT_SUCCESS(BCryptFinishHash(hash.get(), digest.data(), static_cast<ULONG>(digest.size()), 0))) {
        digest.fill(0);
    }
    return digest;
}

sha256_digest hmac_sha256(std::string_view key, std::string_view message) {
    return hmac_sha256_with(&sha256_bytes, key, message);
}

sha256_stream sha256_start() {
    sha256_stream stream;
    stream.ok = BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(stream.provider.put(), BCRYPT_SHA256_ALGORITHM, nullptr, 0)) &&
                BCRYPT_SUCCESS(BCryptCreateHash(stream.provider.get(), stream.hash.put(), nullptr, 0, nullptr, 0, 0));
    return stream;
}

void sha256_add(sha256_stream& stream, std::string_view bytes) {
    if (!stream.ok || bytes.empty()) return;
    stream.ok = hash_data(stream.hash.get(), reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

std::optional<sha256_digest> sha256_finish(sha256_stream& stream) {
    if (!stream.ok) return std::nullopt;
    stream.ok = false;  // a finished BCrypt hash takes no more data
    sha256_digest digest{};
    if (!BCRYPT_SUCCESS(BCryptFinishHash(stream.hash.get(), digest.data(), static_cast<ULONG>(digest.size()), 0))) {
        return std::nullopt;
    }
    return digest;
}
