// A native Linux program, run by the test command before the Windows tests: it asks the processor
// itself (the CPUID instruction, through the compiler's <cpuid.h>) for the values the shell's CPU
// probe reads, and writes them to the file named by its argument, one "name=value" line each, for the
// probe's unit test under Wine. The same instruction on the same processor, decoded here on its own:
// the fields are written as the processor gives them, and nothing of the product's code is used.
//
//   vendor_hex=     the 12 vendor bytes of leaf 0 (EBX, EDX, ECX), as hex
//   base_family=    leaf 1 EAX bits 8..11, decimal; likewise ext_family (20..27), base_model (4..7),
//   ext_model=      ext_model (16..19) and stepping (0..3)
//   brand_hex=      the 48 bytes of leaves 0x80000002..4 (EAX, EBX, ECX, EDX each), as hex
//
// Texts are written as hex so that any byte the processor returns (blanks, zeros) arrives unchanged.
// Exit code 0 when the file was written, 1 when the processor lacks a leaf, 2 on a usage or I/O error.
#include <cpuid.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

std::string hex_of(const unsigned char* bytes, std::size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < size; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 0x0F];
    }
    return out;
}

unsigned bits(unsigned value, unsigned low, unsigned count) {
    return (value >> low) & ((1u << count) - 1u);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: cpuid OUTPUT_FILE\n");
        return 2;
    }
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (__get_cpuid_max(0, nullptr) < 1 || __get_cpuid_max(0x80000000u, nullptr) < 0x80000004u) {
        std::fprintf(stderr, "cpuid: the processor lacks leaf 1 or the brand leaves\n");
        return 1;
    }

    __cpuid(0, a, b, c, d);
    unsigned char vendor[12];
    std::memcpy(vendor, &b, 4);
    std::memcpy(vendor + 4, &d, 4);
    std::memcpy(vendor + 8, &c, 4);

    __cpuid(1, a, b, c, d);
    const unsigned signature = a;

    unsigned char brand[48];
    for (unsigned i = 0; i < 3; ++i) {
        __cpuid(0x80000002u + i, a, b, c, d);
        const unsigned regs[4] = {a, b, c, d};
        std::memcpy(brand + 16 * i, regs, 16);
    }

    std::string text;
    text += "vendor_hex=" + hex_of(vendor, sizeof vendor) + "\n";
    text += "base_family=" + std::to_string(bits(signature, 8, 4)) + "\n";
    text += "ext_family=" + std::to_string(bits(signature, 20, 8)) + "\n";
    text += "base_model=" + std::to_string(bits(signature, 4, 4)) + "\n";
    text += "ext_model=" + std::to_string(bits(signature, 16, 4)) + "\n";
    text += "stepping=" + std::to_string(bits(signature, 0, 4)) + "\n";
    text += "brand_hex=" + hex_of(brand, sizeof brand) + "\n";

    std::FILE* out = std::fopen(argv[1], "wb");
    if (out == nullptr) {
        std::perror(argv[1]);
        return 2;
    }
    const bool written = std::fwrite(text.data(), 1, text.size(), out) == text.size();
    if (std::fclose(out) != 0 || !written) {
        std::perror(argv[1]);
        return 2;
    }
    return 0;
}
