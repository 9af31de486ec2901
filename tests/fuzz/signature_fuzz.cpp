// Properties of the publisher key and signature parsers on arbitrary bytes: an accepted signature is
// strict DER, so encoding r‖s again gives back exactly the input; an accepted key reads the same from
// the canonical PEM of its point.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "net/net_pure.h"

namespace {

// The minimal DER INTEGER of a 32-byte unsigned big-endian value.
std::string der_integer(const std::uint8_t* value) {
    std::size_t first = 0;
    while (first < 31 && value[first] == 0) ++first;
    std::string out;
    if (value[first] & 0x80) out.push_back('\0');
    out.append(reinterpret_cast<const char*>(value + first), 32 - first);
    return std::string{'\x02', static_cast<char>(out.size())} + out;
}

std::string pem_of(const p256_point& point) {
    static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    static const char prefix[] = "\x30\x59\x30\x13\x06\x07\x2A\x86\x48\xCE\x3D\x02\x01\x06\x08\x2A\x86\x48\xCE\x3D"
                                 "\x03\x01\x07\x03\x42\x00\x04";
    std::string der(prefix, sizeof prefix - 1);  // it holds a zero byte
    der.append(point.begin(), point.end());
    std::string text;
    for (std::size_t i = 0; i < der.size(); i += 3) {  // 91 bytes: the last group has one byte
        const std::size_t n = der.size() - i < 3 ? der.size() - i : 3;
        std::uint32_t bits = 0;
        for (std::size_t k = 0; k < 3; ++k) bits = (bits << 8) | (k < n ? static_cast<std::uint8_t>(der[i + k]) : 0u);
        for (std::size_t k = 0; k < 4; ++k) text += k <= n ? digits[(bits >> (18 - 6 * k)) & 63] : '=';
    }
    return "-----BEGIN PUBLIC KEY-----\n" + text + "\n-----END PUBLIC KEY-----\n";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);

    if (const auto signature = p256_signature_from_der(input)) {
        const std::string body = der_integer(signature->data()) + der_integer(signature->data() + 32);
        if (std::string{'\x30', static_cast<char>(body.size())} + body != input) std::abort();
    }

    if (const auto point = p256_point_from_pem(input)) {
        if (p256_point_from_pem(pem_of(*point)) != point) std::abort();
        if (input.find("-----BEGIN PUBLIC KEY-----") == std::string::npos) std::abort();
    }
    return 0;
}
