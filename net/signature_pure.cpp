// The publisher's key and signatures in the forms openssl writes them, turned into the raw forms the
// platform's ECDSA verifier takes. Both come from files and the network: every length is checked.
#include "net/net_pure.h"

#include <algorithm>

namespace {

constexpr std::string_view kBegin = "-----BEGIN PUBLIC KEY-----";
constexpr std::string_view kEnd = "-----END PUBLIC KEY-----";

// SubjectPublicKeyInfo up to the point: SEQUENCE(89) { SEQUENCE(19) { OID id-ecPublicKey,
// OID prime256v1 }, BIT STRING(66) with no unused bits }, then 0x04 for an uncompressed point.
constexpr std::uint8_t kSpkiPrefix[] = {0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x02, 0x01,
                                        0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00,
                                        0x04};

int base64_value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// Standard base64 with line breaks and blanks between the characters; padding only at the end.
std::optional<std::string> base64_decode(std::string_view text) {
    std::string out;
    std::uint32_t bits = 0;
    int count = 0;
    int padding = 0;
    for (const char c : text) {
        if (c == '\r' || c == '\n' || c == ' ' || c == '\t') continue;
        if (c == '=') {
            ++padding;
            continue;
        }
        const int v = base64_value(c);
        if (v < 0 || padding > 0) return std::nullopt;
        bits = (bits << 6) | static_cast<std::uint32_t>(v);
        if (++count == 4) {
            out.push_back(static_cast<char>((bits >> 16) & 0xFF));
            out.push_back(static_cast<char>((bits >> 8) & 0xFF));
            out.push_back(static_cast<char>(bits & 0xFF));
            bits = 0;
            count = 0;
        }
    }
    // The last group: 2 or 3 characters, padded to four (or unpadded), with no stray bits.
    if (count == 1 || (count == 0 && padding != 0) || (count > 0 && padding != 0 && count + padding != 4)) {
        return std::nullopt;
    }
    if (count == 2) {
        if ((bits & 0x0F) != 0) return std::nullopt;
        out.push_back(static_cast<char>((bits >> 4) & 0xFF));
    } else if (count == 3) {
        if ((bits & 0x03) != 0) return std::nullopt;
        out.push_back(static_cast<char>((bits >> 10) & 0xFF));
        out.push_back(static_cast<char>((bits >> 2) & 0xFF));
    }
    return out;
}

// One DER INTEGER at `at`: a positive value of 1..32 bytes, minimally encoded, written right-aligned
// into `out`. Moves `at` past it.
bool read_integer(std::string_view der, std::size_t& at, std::uint8_t* out) {
    if (der.size() - at < 2 || static_cast<std::uint8_t>(der[at]) != 0x02) return false;
    const std::size_t length = static_cast<std::uint8_t>(der[at + 1]);
    at += 2;
    if (length == 0 || length > 33 || der.size() - at < length) return false;
    std::string_view value = der.substr(at, length);
    at += length;
    const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(value[i]); };
    if (byte(0) & 0x80) return false;  // negative
    if (byte(0) == 0 && length > 1) {
        if ((byte(1) & 0x80) == 0) return false;  // a leading zero that was not needed
        value.remove_prefix(1);
    }
    if (value.size() > 32) return false;
    if (std::all_of(value.begin(), value.end(), [](char c) { return c == 0; })) return false;
    std::fill(out, out + 32, std::uint8_t{0});
    std::copy(value.begin(), value.end(), out + static_cast<std::ptrdiff_t>(32 - value.size()));
    return true;
}

}  // namespace

std::optional<p256_point> p256_point_from_pem(std::string_view pem) {
    const std::size_t begin = pem.find(kBegin);
    if (begin == std::string_view::npos) return std::nullopt;
    const std::size_t body = begin + kBegin.size();
    const std::size_t end = pem.find(kEnd, body);
    if (end == std::string_view::npos) return std::nullopt;
    const std::optional<std::string> der = base64_decode(pem.substr(body, end - body));
    if (!der || der->size() != sizeof kSpkiPrefix + 64) return std::nullopt;
    if (!std::equal(std::begin(kSpkiPrefix), std::end(kSpkiPrefix), der->begin(),
                    [](std::uint8_t want, char got) { return want == static_cast<std::uint8_t>(got); })) {
        return std::nullopt;
    }
    p256_point point{};
    std::copy(der->begin() + static_cast<std::ptrdiff_t>(sizeof kSpkiPrefix), der->end(), point.begin());
    return point;
}

std::optional<p256_signature> p256_signature_from_der(std::string_view der) {
    // A sequence of two 33-byte integers is 70 bytes: the short length form always suffices.
    if (der.size() < 2 || static_cast<std::uint8_t>(der[0]) != 0x30) return std::nullopt;
    const std::size_t length = static_cast<std::uint8_t>(der[1]);
    if (length >= 0x80 || der.size() != 2 + length) return std::nullopt;
    p256_signature signature{};
    std::size_t at = 2;
    if (!read_integer(der, at, signature.data()) || !read_integer(der, at, signature.data() + 32)) {
        return std::nullopt;
    }
    if (at != der.size()) return std::nullopt;
    return signature;
}

std::wstring signature_failure_text(std::uint32_t status) {
    constexpr std::uint32_t kInvalidSignature = 0xC000A000u;  // the verifier's "does not match"
    if (status == kInvalidSignature) return kSignatureWrongText;
    return with_code(L"Не удалось проверить подпись файла", status);
}
