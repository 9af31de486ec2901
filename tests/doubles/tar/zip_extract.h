// A small zip reader shared by the tar.exe and powershell.exe test doubles: the central directory,
// stored (method 0) and deflate (method 8) entries, CRC-32 checked. No ZIP64, no encryption. Entry
// names that are absolute or climb out with ".." are refused, as the real unpackers refuse them.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/doubles/double.h"

namespace zip_double {

using doubles::read_all;
using doubles::widen_utf8;

inline bool write_all(const std::wstring& path, const std::string& bytes) {
    return doubles::write_all(path, bytes);
}

// ---- inflate (RFC 1951) -------------------------------------------------------------------------

struct bit_reader {
    const std::uint8_t* data;
    std::size_t size;
    std::size_t pos = 0;
    std::uint32_t bits = 0;
    int count = 0;
    bool overrun = false;

    int bit() {
        if (count == 0) {
            if (pos >= size) {
                overrun = true;
                return 0;
            }
            bits = data[pos++];
            count = 8;
        }
        const int b = static_cast<int>(bits & 1u);
        bits >>= 1;
        --count;
        return b;
    }
    std::uint32_t take(int n) {
        std::uint32_t v = 0;
        for (int i = 0; i < n; ++i) v |= static_cast<std::uint32_t>(bit()) << i;
        return v;
    }
};

// Canonical Huffman code: counts per length and symbols ordered by code.
struct huffman {
    std::uint16_t count[16] = {};
    std::uint16_t symbol[320] = {};
};

inline bool build(huffman& h, const std::uint8_t* lengths, int n) {
    for (auto& c : h.count) c = 0;
    for (int i = 0; i < n; ++i) h.count[lengths[i]]++;
    h.count[0] = 0;
    int left = 1;
    for (int len = 1; len < 16; ++len) {
        left <<= 1;
        left -= h.count[len];
        if (left < 0) return false;  // over-subscribed
    }
    std::uint16_t offs[16] = {};
    for (int len = 1; len < 15; ++len) offs[len + 1] = static_cast<std::uint16_t>(offs[len] + h.count[len]);
    for (int i = 0; i < n; ++i) {
        if (lengths[i] != 0) h.symbol[offs[lengths[i]]++] = static_cast<std::uint16_t>(i);
    }
    return true;
}

inline int decode(bit_reader& in, const huffman& h) {
    int code = 0, first = 0, index = 0;
    for (int len = 1; len < 16; ++len) {
        code |= in.bit();
        const int count = h.count[len];
        if (code - count < first) return h.symbol[index + (code - first)];
        index += count;
        first += count;
        first <<= 1;
        code <<= 1;
        if (in.overrun) return -1;
    }
    return -1;
}

inline bool inflate_codes(bit_reader& in, std::string& out, const huffman& lit, const huffman& dist) {
    static const std::uint16_t base[] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                         31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
    static const std::uint8_t extra[] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                         2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
    static const std::uint16_t dbase[] = {1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,   97,   129,
                                          193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
    static const std::uint8_t dextra[] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6,
                                          6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
    for (;;) {
        int sym = decode(in, lit);
        if (sym < 0 || in.overrun) return false;
        if (sym < 256) {
            out.push_back(static_cast<char>(sym));
        } else if (sym == 256) {
            return true;
        } else {
            sym -= 257;
            if (sym >= 29) return false;
            const std::size_t len = base[sym] + in.take(extra[sym]);
            const int dsym = decode(in, dist);
            if (dsym < 0 || dsym >= 30) return false;
            const std::size_t d = dbase[dsym] + in.take(dextra[dsym]);
            if (d > out.size() || in.overrun) return false;
            for (std::size_t i = 0; i < len; ++i) out.push_back(out[out.size() - d]);
        }
    }
}

inline bool inflate(const std::uint8_t* data, std::size_t size, std::string& out) {
    bit_reader in{data, size};
    int last = 0;
    do {
        last = in.bit();
        const std::uint32_t type = in.take(2);
        if (in.overrun) return false;
        if (type == 0) {
            in.bits = 0;
            in.count = 0;  // stored blocks start on a byte boundary
            if (in.pos + 4 > size) return false;
            const std::size_t len = data[in.pos] | (data[in.pos + 1] << 8);
            const std::size_t nlen = data[in.pos + 2] | (data[in.pos + 3] << 8);
            in.pos += 4;
            if (len != (~nlen & 0xFFFFu) || in.pos + len > size) return false;
            out.append(reinterpret_cast<const char*>(data + in.pos), len);
            in.pos += len;
        } else if (type == 1) {
            std::uint8_t lengths[288 + 30];
            int i = 0;
            for (; i < 144; ++i) lengths[i] = 8;
            for (; i < 256; ++i) lengths[i] = 9;
            for (; i < 280; ++i) lengths[i] = 7;
            for (; i < 288; ++i) lengths[i] = 8;
            for (i = 0; i < 30; ++i) lengths[288 + i] = 5;
            huffman lit, dist;
            build(lit, lengths, 288);
            build(dist, lengths + 288, 30);
            if (!inflate_codes(in, out, lit, dist)) return false;
        } else if (type == 2) {
            const int nlen = static_cast<int>(in.take(5)) + 257;
            const int ndist = static_cast<int>(in.take(5)) + 1;
            const int ncode = static_cast<int>(in.take(4)) + 4;
            if (nlen > 286 || ndist > 30) return false;
            static const std::uint8_t order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
            std::uint8_t lengths[320] = {};
            for (int i = 0; i < ncode; ++i) lengths[order[i]] = static_cast<std::uint8_t>(in.take(3));
            huffman lencode;
            if (!build(lencode, lengths, 19)) return false;
            int index = 0;
            while (index < nlen + ndist) {
                int sym = decode(in, lencode);
                if (sym < 0 || in.overrun) return false;
                if (sym < 16) {
                    lengths[index++] = static_cast<std::uint8_t>(sym);
                    continue;
                }
                std::uint8_t value = 0;
                int repeat = 0;
                if (sym == 16) {
                    if (index == 0) return false;
                    value = lengths[index - 1];
                    repeat = 3 + static_cast<int>(in.take(2));
                } else if (sym == 17) {
                    repeat = 3 + static_cast<int>(in.take(3));
                } else {
                    repeat = 11 + static_cast<int>(in.take(7));
                }
                if (index + repeat > nlen + ndist) return false;
                while (repeat-- > 0) lengths[index++] = value;
            }
            huffman lit, dist;
            if (!build(lit, lengths, nlen) || !build(dist, lengths + nlen, ndist)) return false;
            if (!inflate_codes(in, out, lit, dist)) return false;
        } else {
            return false;
        }
    } while (last == 0);
    return true;
}

// ---- archive ------------------------------------------------------------------------------------

inline std::uint32_t crc32(const std::string& bytes) {
    static std::uint32_t table[256];
    static bool ready = false;
    if (!ready) {
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1u) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            table[i] = c;
        }
        ready = true;
    }
    std::uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char b : bytes) crc = table[(crc ^ b) & 0xFFu] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFu;
}

inline std::uint32_t u16(const std::string& s, std::size_t at) {
    return static_cast<unsigned char>(s[at]) | (static_cast<unsigned char>(s[at + 1]) << 8);
}
inline std::uint32_t u32(const std::string& s, std::size_t at) {
    return u16(s, at) | (u16(s, at + 2) << 16);
}

// Creates every directory of `path` below `root` (the last element too).
inline void make_dirs(const std::wstring& root, const std::wstring& relative) {
    std::size_t at = 0;
    while (at <= relative.size()) {
        std::size_t next = relative.find(L'\\', at);
        if (next == std::wstring::npos) next = relative.size();
        CreateDirectoryW((root + L"\\" + relative.substr(0, next)).c_str(), nullptr);
        at = next + 1;
    }
}

// A relative Windows path from a zip name, or empty when the name is unsafe.
inline std::wstring safe_relative(const std::wstring& name) {
    if (name.empty() || name[0] == L'/' || name[0] == L'\\' || name.find(L':') != std::wstring::npos) return {};
    std::wstring out;
    std::size_t at = 0;
    while (at < name.size()) {
        std::size_t next = name.find_first_of(L"/\\", at);
        if (next == std::wstring::npos) next = name.size();
        const std::wstring part = name.substr(at, next - at);
        if (part == L"..") return {};
        if (!part.empty() && part != L".") {
            if (!out.empty()) out += L'\\';
            out += part;
        }
        at = next + 1;
    }
    return out;
}

// Unpacks the archive into `dir` (which must exist). On failure `reason` says why.
inline bool extract(const std::wstring& archive, const std::wstring& dir, std::string& reason) {
    std::string zip;
    if (!read_all(archive, zip)) {
        reason = "cannot read the archive";
        return false;
    }
    if (zip.size() < 22) {
        reason = "not a zip archive";
        return false;
    }
    std::size_t eocd = std::string::npos;
    const std::size_t lowest = zip.size() > 22 + 65535 ? zip.size() - 22 - 65535 : 0;
    for (std::size_t at = zip.size() - 22 + 1; at-- > lowest;) {
        if (u32(zip, at) == 0x06054b50u) {
            eocd = at;
            break;
        }
    }
    if (eocd == std::string::npos) {
        reason = "not a zip archive";
        return false;
    }
    const std::uint32_t entries = u16(zip, eocd + 10);
    std::size_t at = u32(zip, eocd + 16);
    for (std::uint32_t i = 0; i < entries; ++i) {
        if (at + 46 > zip.size() || u32(zip, at) != 0x02014b50u) {
            reason = "damaged central directory";
            return false;
        }
        const std::uint32_t flags = u16(zip, at + 8);
        const std::uint32_t method = u16(zip, at + 10);
        const std::uint32_t crc = u32(zip, at + 16);
        const std::size_t packed = u32(zip, at + 20);
        const std::size_t size = u32(zip, at + 24);
        const std::size_t name_len = u16(zip, at + 28);
        const std::size_t extra_len = u16(zip, at + 30);
        const std::size_t comment_len = u16(zip, at + 32);
        const std::size_t local = u32(zip, at + 42);
        if (at + 46 + name_len > zip.size()) {
            reason = "damaged central directory";
            return false;
        }
        const std::string raw_name = zip.substr(at + 46, name_len);
        at += 46 + name_len + extra_len + comment_len;
        if ((flags & 1u) != 0) {
            reason = "encrypted entry";
            return false;
        }
        const std::wstring relative = safe_relative(widen_utf8(raw_name));
        if (relative.empty()) {
            if (raw_name == "./" || raw_name == ".") continue;
            reason = "unsafe entry name " + raw_name;
            return false;
        }
        if (!raw_name.empty() && raw_name.back() == '/') {
            make_dirs(dir, relative);
            continue;
        }
        if (local + 30 > zip.size() || u32(zip, local) != 0x04034b50u) {
            reason = "damaged local header";
            return false;
        }
        const std::size_t data = local + 30 + u16(zip, local + 26) + u16(zip, local + 28);
        if (data + packed > zip.size()) {
            reason = "truncated entry " + raw_name;
            return false;
        }
        std::string content;
        if (method == 0) {
            content = zip.substr(data, packed);
        } else if (method == 8) {
            if (!inflate(reinterpret_cast<const std::uint8_t*>(zip.data() + data), packed, content)) {
                reason = "bad deflate data in " + raw_name;
                return false;
            }
        } else {
            reason = "unsupported method in " + raw_name;
            return false;
        }
        if (content.size() != size || crc32(content) != crc) {
            reason = "checksum mismatch in " + raw_name;
            return false;
        }
        const std::size_t cut = relative.rfind(L'\\');
        if (cut != std::wstring::npos) make_dirs(dir, relative.substr(0, cut));
        if (!write_all(dir + L"\\" + relative, content)) {
            reason = "cannot write " + raw_name;
            return false;
        }
    }
    return true;
}

// Exit code forced by the environment variable or by "exit=N" in the ini file, or -1.
inline long long forced_exit(const wchar_t* variable, const std::wstring& ini_path) {
    wchar_t buffer[64] = {};
    const DWORD n = GetEnvironmentVariableW(variable, buffer, 64);
    if (n > 0 && n < 64) return std::wcstoll(buffer, nullptr, 10);
    std::string ini;
    if (!read_all(ini_path, ini)) return -1;
    const std::size_t at = ini.find("exit=");
    if (at == std::string::npos) return -1;
    return std::strtoll(ini.c_str() + at + 5, nullptr, 10);
}

inline std::wstring own_directory() {
    std::wstring buffer(32768, L'\0');
    const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    buffer.resize(n);
    const std::size_t cut = buffer.find_last_of(L"\\/");
    return cut == std::wstring::npos ? std::wstring(L".") : buffer.substr(0, cut);
}

// Where the double keeps its ini and log: QUILLMARSH_DOUBLE_DIR when set (the copy the shell starts
// lives in the system folder, which every test shares), else the program's own folder.
inline std::wstring record_directory() {
    std::wstring buffer(32768, L'\0');
    const DWORD n = GetEnvironmentVariableW(L"QUILLMARSH_DOUBLE_DIR", buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n > 0 && n < buffer.size()) {
        buffer.resize(n);
        return buffer;
    }
    return own_directory();
}

inline std::string to_utf8(const std::wstring& text) {
    if (text.empty()) return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                      nullptr);
    std::string out(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
    if (n > 0) {
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
    }
    return out;
}

// Appends one line to the log file beside the program.
inline void record(const std::wstring& log_path, const std::string& line) {
    doubles::write_all(log_path, line + "\n", true);
}

inline void say(DWORD which, const std::string& text) {
    doubles::write_to(which, text + "\n");
}

}  // namespace zip_double
