// Hex text of digests and the HMAC construction; the hash itself comes from the platform.
#include "net/net_pure.h"

#include <cstddef>

std::wstring hex_lower(const sha256_digest& digest) {
    return widen_ascii(hex_text(digest, hex_case::lower));
}

sha256_digest hmac_sha256_with(sha256_function sha256, std::string_view key, std::string_view message) {
    constexpr std::size_t block_size = 64;
    std::array<std::uint8_t, block_size> key_block{};
    if (key.size() <= block_size) {
        for (std::size_t i = 0; i < key.size(); ++i) key_block[i] = static_cast<std::uint8_t>(key[i]);
    } else {
        const sha256_digest hashed_key = sha256(key);
        for (std::size_t i = 0; i < hashed_key.size(); ++i) key_block[i] = hashed_key[i];
    }

    std::string inner(block_size, '\0');
    std::string outer(block_size, '\0');
    for (std::size_t i = 0; i < block_size; ++i) {
        inner[i] = static_cast<char>(key_block[i] ^ 0x36u);
        outer[i] = static_cast<char>(key_block[i] ^ 0x5Cu);
    }
    inner.append(message);
    const sha256_digest inner_digest = sha256(inner);
    outer.append(reinterpret_cast<const char*>(inner_digest.data()), inner_digest.size());
    return sha256(outer);
}
