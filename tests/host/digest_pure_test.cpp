#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/net_pure.h"

namespace {

// A stand-in hash that records what it was given and answers with the first 32 input bytes
// (zero-padded), so the HMAC construction can be checked byte by byte without a real SHA-256.
std::vector<std::string> g_hashed;

sha256_digest recording_hash(std::string_view bytes) {
    g_hashed.emplace_back(bytes);
    sha256_digest out{};
    for (std::size_t i = 0; i < out.size() && i < bytes.size(); ++i) out[i] = static_cast<std::uint8_t>(bytes[i]);
    return out;
}

std::string xored(std::string block, unsigned char pad) {
    for (char& c : block) c = static_cast<char>(static_cast<unsigned char>(c) ^ pad);
    return block;
}

}  // namespace

TEST(hex_lower, two_lower_case_digits_per_byte_high_nibble_first) {
    sha256_digest ab{};
    ab.fill(0xAB);
    std::wstring want;
    for (int i = 0; i < 32; ++i) want += L"ab";
    EXPECT_EQ(hex_lower(ab), want);

    sha256_digest counting{};
    for (std::size_t i = 0; i < counting.size(); ++i) counting[i] = static_cast<std::uint8_t>(i * 8 + 1);
    EXPECT_EQ(hex_lower(counting), L"0109111921293139414951596169717981899199a1a9b1b9c1c9d1d9e1e9f1f9");
    EXPECT_EQ(hex_lower(sha256_digest{}), std::wstring(64, L'0'));
}

TEST(hmac_construction, short_and_block_sized_keys_are_used_unchanged) {
    for (const std::size_t key_size : {std::size_t{0}, std::size_t{20}, std::size_t{64}}) {
        SCOPED_TRACE(key_size);
        std::string key;
        for (std::size_t i = 0; i < key_size; ++i) key.push_back(static_cast<char>(0x80 + i));
        g_hashed.clear();
        const sha256_digest result = hmac_sha256_with(&recording_hash, key, "message");

        std::string block = key + std::string(64 - key_size, '\0');
        ASSERT_EQ(g_hashed.size(), 2u);  // no hashing of the key
        EXPECT_EQ(g_hashed[0], xored(block, 0x36) + "message");
        const std::string inner_digest = g_hashed[0].substr(0, 32);
        EXPECT_EQ(g_hashed[1], xored(block, 0x5C) + inner_digest);
        EXPECT_EQ(std::string(result.begin(), result.end()), g_hashed[1].substr(0, 32));
    }
}

TEST(hmac_construction, a_key_over_one_block_is_replaced_by_its_digest) {
    const std::string key(65, '\x11');
    g_hashed.clear();
    hmac_sha256_with(&recording_hash, key, "m");

    ASSERT_EQ(g_hashed.size(), 3u);
    EXPECT_EQ(g_hashed[0], key);
    // The stand-in's digest of the key is its first 32 bytes; the rest of the block stays zero.
    const std::string block = std::string(32, '\x11') + std::string(32, '\0');
    EXPECT_EQ(g_hashed[1], xored(block, 0x36) + "m");
    EXPECT_EQ(g_hashed[2].substr(0, 64), xored(block, 0x5C));
}
