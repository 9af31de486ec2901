// Failure reports without the platform: the code of each box, UTF-8 repair, JSON strings, the log's
// tail, the masking of the profile folder and user name, and the body within the server's limits.
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "net/net_pure.h"

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes one UTF-8 character at `at`; ill-formed input gives U+FFFD for the longest invalid prefix of
// at most one byte (so the next byte is read again), as most decoders do.
char32_t decode_one(std::string_view bytes, std::size_t& at) {
    const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(bytes[i]); };
    const std::uint8_t lead = byte(at);
    if (lead < 0x80) {
        ++at;
        return lead == 0 ? kReplacement : lead;
    }
    std::size_t length = 0;
    char32_t value = 0;
    char32_t least = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        value = lead & 0x1Fu;
        least = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        value = lead & 0x0Fu;
        least = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        value = lead & 0x07u;
        least = 0x10000;
    } else {
        ++at;
        return kReplacement;
    }
    if (bytes.size() - at < length) {
        ++at;
        return kReplacement;
    }
    for (std::size_t i = 1; i < length; ++i) {
        const std::uint8_t next = byte(at + i);
        if ((next & 0xC0u) != 0x80u) {
            ++at;
            return kReplacement;
        }
        value = (value << 6) | (next & 0x3Fu);
    }
    if (value < least || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
        ++at;
        return kReplacement;
    }
    at += length;
    return value;
}

std::u32string decode(std::string_view bytes) {
    std::u32string out;
    out.reserve(bytes.size());
    std::size_t at = 0;
    while (at < bytes.size()) out.push_back(decode_one(bytes, at));
    return out;
}

void encode(std::string& out, char32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

bool is_separator(char32_t c) {
    return c == U'\\' || c == U'/';
}

// The folding of redact_personal: ASCII and Cyrillic letters to lower case, '/' to '\'.
char32_t fold(char32_t c) {
    if (c >= U'A' && c <= U'Z') return c + 0x20;
    if (c >= 0x410 && c <= 0x42F) return c + 0x20;  // А..Я -> а..я
    if (c == 0x401) return 0x451;                   // Ё -> ё
    if (c == U'/') return U'\\';
    return c;
}

// A character that can continue a folder name: a folder followed by one is another folder.
bool continues_name(char32_t c) {
    return (c >= U'a' && c <= U'z') || (c >= U'A' && c <= U'Z') || (c >= U'0' && c <= U'9') || c == U'_' ||
           c == U'-' || c == U'.' || c >= 0x80;
}

bool matches_at(const std::u32string& text, std::size_t at, const std::u32string& folded) {
    if (folded.empty() || text.size() - at < folded.size()) return false;
    for (std::size_t i = 0; i < folded.size(); ++i) {
        if (fold(text[at + i]) != folded[i]) return false;
    }
    return true;
}

std::u32string folded(std::u32string text) {
    for (char32_t& c : text) c = fold(c);
    return text;
}

}  // namespace

std::optional<std::string_view> failure_code(final_box box) {
    switch (box) {
    case final_box::launcher_dir_not_writable:
    case final_box::no_fingerprint:
    case final_box::banned:
        return std::nullopt;
    case final_box::ban_check_failed:
        return "ban_check_failed";
    case final_box::java17_failed:
        return "java17_failed";
    case final_box::launcher_download_failed:
        return "launcher_download_failed";
    case final_box::launcher_digest_failed:
        return "launcher_digest_failed";
    case final_box::client_start_failed:
        return "client_start_failed";
    case final_box::watchdog_timeout:
        return "watchdog_timeout";
    case final_box::unexpected_error:
        return "unexpected_error";
    case final_box::worker_start_failed:
        return "worker_start_failed";
    }
    return std::nullopt;
}

std::string valid_utf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    std::size_t at = 0;
    while (at < bytes.size()) encode(out, decode_one(bytes, at));
    return out;
}

std::string_view cut_utf8(std::string_view valid, std::size_t limit) {
    if (valid.size() <= limit) return valid;
    std::size_t end = limit;
    // Back over continuation bytes to the start of the character that did not fit.
    while (end > 0 && (static_cast<std::uint8_t>(valid[end]) & 0xC0u) == 0x80u) --end;
    return valid.substr(0, end);
}

std::string json_string(std::string_view bytes) {
    const std::string text = valid_utf8(bytes);
    std::string out;
    out.reserve(text.size() + 2);
    out.push_back('"');
    for (char c : text) {
        const auto byte = static_cast<std::uint8_t>(c);
        if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back(c);
        } else if (byte < 0x20) {
            out += "\\u00";
            append_hex(out, byte, hex_case::lower);
        } else {
            out.push_back(c);
        }
    }
    out.push_back('"');
    return out;
}

std::vector<std::string> last_log_lines(std::string_view text, bool whole, std::size_t count) {
    if (whole && text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    std::size_t first = whole || lines.empty() ? 0 : 1;
    if (lines.size() - first > count) first = lines.size() - count;
    std::vector<std::string> out;
    for (std::size_t i = first; i < lines.size(); ++i) {
        std::string line(lines[i]);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        for (char& c : line) {
            if (c == '\r') c = ' ';
        }
        out.push_back(std::move(line));
    }
    return out;
}

std::string redact_personal(std::string_view text, std::string_view profile,
                            const std::vector<std::string>& users) {
    const std::u32string source = decode(text);
    std::u32string home = decode(profile);
    while (!home.empty() && is_separator(home.back())) home.pop_back();
    if (home.size() < 3) home.clear();
    home = folded(home);
    std::vector<std::u32string> names;
    for (const std::string& user : users) {
        if (!user.empty()) names.push_back(folded(decode(user)));
    }
    // The longest first: of two names where one starts the other, the whole longer one is masked.
    std::sort(names.begin(), names.end(),
              [](const std::u32string& a, const std::u32string& b) { return a.size() > b.size(); });

    std::string out;
    out.reserve(text.size());
    std::size_t at = 0;
    while (at < source.size()) {
        if (matches_at(source, at, home)) {
            const std::size_t end = at + home.size();
            if (end == source.size() || !continues_name(source[end])) {
                out += "%USERPROFILE%";
                at = end;
                continue;
            }
        }
        bool masked = false;
        for (const std::u32string& name : names) {
            if (!matches_at(source, at, name)) continue;
            const std::size_t end = at + name.size();
            const bool component = (at == 0 || is_separator(source[at - 1])) &&
                                   (end == source.size() || is_separator(source[end]));
            if (name.size() >= kShortUserName || component) {
                out += "<user>";
                at = end;
                masked = true;
                break;
            }
        }
        if (masked) continue;
        encode(out, source[at]);
        ++at;
    }
    return out;
}

std::string report_body(const report_fields& fields) {
    std::string head = "{\"hwid\":" + json_string(fields.hwid) + ",\"sig\":" + json_string(fields.sig) +
                       ",\"code\":" + json_string(fields.code) + ",\"shell_version\":" +
                       json_string(fields.shell_version) + ",\"windows_version\":" +
                       json_string(fields.windows_version) + ",\"text\":";
    const std::string text = valid_utf8(fields.text);

    std::vector<std::string> lines;
    const std::size_t skip = fields.log.size() > kReportLogLines ? fields.log.size() - kReportLogLines : 0;
    std::size_t lines_size = 0;
    for (std::size_t i = skip; i < fields.log.size(); ++i) {
        std::string line = valid_utf8(fields.log[i]);
        for (char& c : line) {
            if (c == '\r' || c == '\n') c = ' ';  // a line is one line, whoever made the list
        }
        lines.push_back(json_string(cut_utf8(line, kReportLineLimit)));
        lines_size += lines.back().size();
    }
    // "],"log":[" + lines with commas + "]}"
    const auto log_size = [&](std::size_t first) {
        const std::size_t n = lines.size() - first;
        return std::size_t{8} + (n > 1 ? n - 1 : 0) + 2;
    };

    std::size_t text_limit = kReportTextLimit;
    std::string text_json = json_string(cut_utf8(text, text_limit));
    std::size_t first = 0;
    while (head.size() + text_json.size() + lines_size + log_size(first) > kReportBodyLimit) {
        if (first < lines.size()) {
            lines_size -= lines[first].size();
            ++first;
            continue;
        }
        // Only the text is left to shrink: escapes can make 4096 bytes of text six times as long.
        const std::string_view shorter = cut_utf8(text, text_limit / 2);
        if (shorter.empty()) break;
        text_limit = shorter.size();
        text_json = json_string(shorter);
    }

    std::string body = head + text_json + ",\"log\":[";
    for (std::size_t i = first; i < lines.size(); ++i) {
        if (i != first) body.push_back(',');
        body += lines[i];
    }
    body += "]}";
    return body;
}

std::string file_version_text(std::string_view resource) {
    const auto word = [&](std::size_t at) {
        std::uint32_t v = 0;
        for (std::size_t i = 0; i < 4; ++i) v |= std::uint32_t{static_cast<std::uint8_t>(resource[at + i])} << (8 * i);
        return v;
    };
    // VS_FIXEDFILEINFO: signature, structure version, file version MS, file version LS, ...
    for (std::size_t at = 0; resource.size() >= 16 && at <= resource.size() - 16; at += 4) {
        if (word(at) != 0xFEEF04BDu) continue;
        const std::uint32_t high = word(at + 8);
        const std::uint32_t low = word(at + 12);
        return decimal_text(high >> 16) + "." + decimal_text(high & 0xFFFFu) + "." + decimal_text(low >> 16) +
               "." + decimal_text(low & 0xFFFFu);
    }
    return {};
}
