// The release manifest and the sequence and verified records: strict parsers and their writers. Every
// byte comes from the network or from a folder other local users may write; nothing is trusted before
// the whole text has passed.
#include "net/release_manifest_pure.h"

namespace {

constexpr std::string_view kManifestHeader = "quillmarsh-release 1";
constexpr std::string_view kSequenceHeader = "quillmarsh-sequence 1";
constexpr std::string_view kVerifiedHeader = "quillmarsh-verified 1";
constexpr std::uint64_t kMaxSigned = 9223372036854775807ULL; // 2^63-1: sequences and sizes
constexpr std::size_t kMaxProductLength = 64;
constexpr std::int64_t kSecondsPerDay = 86400;

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// Canonical decimal: digits only, no leading zero except "0" itself, at most `max`.
std::optional<std::uint64_t> parse_decimal(std::string_view text, std::uint64_t max) {
    if (text.empty() || (text.size() > 1 && text[0] == '0')) return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : text) {
        if (!is_digit(c)) return std::nullopt;
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (max - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

std::string decimal_of(std::uint64_t value) {
    std::string digits;
    do {
        digits.insert(digits.begin(), static_cast<char>('0' + value % 10));
        value /= 10;
    } while (value != 0);
    return digits;
}

// The next line of `text` from `at`, without its LF; nothing when no LF-terminated line is left.
std::optional<std::string_view> next_line(std::string_view text, std::size_t& at) {
    if (at >= text.size()) return std::nullopt;
    const std::size_t end = text.find('\n', at);
    if (end == std::string_view::npos) return std::nullopt;
    const std::string_view line = text.substr(at, end - at);
    at = end + 1;
    return line;
}

// Splits on single spaces into exactly `count` non-empty fields; a leading, trailing or doubled space
// gives an empty field and so nothing.
template <std::size_t N>
std::optional<std::array<std::string_view, N>> fields_of(std::string_view line) {
    std::array<std::string_view, N> fields{};
    for (std::size_t i = 0; i < N; ++i) {
        const std::size_t space = line.find(' ');
        const bool last = i + 1 == N;
        if (last != (space == std::string_view::npos)) return std::nullopt;
        fields[i] = last ? line : line.substr(0, space);
        if (fields[i].empty()) return std::nullopt;
        if (!last) line.remove_prefix(space + 1);
    }
    return fields;
}

bool is_product_name(std::string_view name) {
    if (name.empty() || name.size() > kMaxProductLength) return false;
    for (const char c : name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || is_digit(c) || c == '.' ||
                        c == '_' || c == '-';
        if (!ok) return false;
    }
    return true;
}

// Days from 1970-01-01 to y-m-d in the proleptic Gregorian calendar (negative before it).
std::int64_t days_from_civil(std::int64_t y, std::int64_t m, std::int64_t d) {
    y -= m <= 2 ? 1 : 0;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yoe = y - era * 400;
    const std::int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

struct civil_date {
    std::int64_t year;
    std::int64_t month;
    std::int64_t day;
};

civil_date civil_from_days(std::int64_t z) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    const std::int64_t day = doy - (153 * mp + 2) / 5 + 1;
    const std::int64_t month = mp < 10 ? mp + 3 : mp - 9;
    return {yoe + era * 400 + (month <= 2 ? 1 : 0), month, day};
}

bool is_leap_year(std::int64_t y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

std::int64_t days_in_month(std::int64_t y, std::int64_t m) {
    static constexpr std::int64_t days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && is_leap_year(y) ? 29 : days[m - 1];
}

// "YYYY-MM-DDTHH:MM:SSZ" of a real UTC instant (no leap second) as seconds since 1970.
std::optional<std::int64_t> parse_utc_time(std::string_view text) {
    constexpr std::string_view shape = "dddd-dd-ddTdd:dd:ddZ";
    if (text.size() != shape.size()) return std::nullopt;
    for (std::size_t i = 0; i < shape.size(); ++i) {
        if (shape[i] == 'd' ? !is_digit(text[i]) : text[i] != shape[i]) return std::nullopt;
    }
    const auto number = [&](std::size_t at, std::size_t length) {
        std::int64_t value = 0;
        for (std::size_t i = at; i < at + length; ++i) value = value * 10 + (text[i] - '0');
        return value;
    };
    const std::int64_t year = number(0, 4), month = number(5, 2), day = number(8, 2);
    const std::int64_t hour = number(11, 2), minute = number(14, 2), second = number(17, 2);
    if (month < 1 || month > 12 || day < 1 || day > days_in_month(year, month)) return std::nullopt;
    if (hour > 23 || minute > 59 || second > 59) return std::nullopt;
    return days_from_civil(year, month, day) * kSecondsPerDay + hour * 3600 + minute * 60 + second;
}

void append_padded(std::string& out, std::int64_t value, std::size_t width) {
    std::string digits = value < 0 ? "-" + decimal_of(static_cast<std::uint64_t>(-(value + 1)) + 1)
                                   : decimal_of(static_cast<std::uint64_t>(value));
    if (digits.size() < width) digits.insert(0, width - digits.size(), '0');
    out += digits;
}

std::string utc_time_text(std::int64_t unix_seconds) {
    std::int64_t days = unix_seconds / kSecondsPerDay;
    std::int64_t rest = unix_seconds % kSecondsPerDay;
    if (rest < 0) {
        rest += kSecondsPerDay;
        --days;
    }
    const civil_date date = civil_from_days(days);
    std::string out;
    append_padded(out, date.year, 4);
    out += '-';
    append_padded(out, date.month, 2);
    out += '-';
    append_padded(out, date.day, 2);
    out += 'T';
    append_padded(out, rest / 3600, 2);
    out += ':';
    append_padded(out, rest / 60 % 60, 2);
    out += ':';
    append_padded(out, rest % 60, 2);
    out += 'Z';
    return out;
}

// "file <kind> <hex> <size>" into `out`; `N` is 4, or 5 with the version as the last field.
template <std::size_t N>
std::optional<std::array<std::string_view, N>> file_fields(std::string_view line, std::string_view kind,
                                                           release_file& out) {
    const auto fields = fields_of<N>(line);
    if (!fields || (*fields)[0] != "file" || (*fields)[1] != kind || !is_sha256_hex((*fields)[2])) {
        return std::nullopt;
    }
    const auto size = parse_decimal((*fields)[3], kMaxSigned);
    if (!size) return std::nullopt;
    out.sha256_hex = std::string((*fields)[2]);
    out.size = *size;
    return fields;
}

std::string file_line(std::string_view kind, const release_file& file) {
    return "file " + std::string(kind) + " " + file.sha256_hex + " " + decimal_of(file.size);
}

// "<name> <64 hex>" of the records.
std::optional<std::string> hex_line(std::string_view line, std::string_view name) {
    const auto fields = fields_of<2>(line);
    if (!fields || (*fields)[0] != name || !is_sha256_hex((*fields)[1])) return std::nullopt;
    return std::string((*fields)[1]);
}

} // namespace

bool is_sha256_hex(std::string_view text) {
    if (text.size() != 64) return false;
    for (const char c : text) {
        if (!is_digit(c) && !(c >= 'a' && c <= 'f')) return false;
    }
    return true;
}

manifest_refusal parse_release_manifest(std::string_view text, release_manifest& out) {
    if (text.size() > kReleaseManifestLimit) return manifest_refusal::too_long;
    for (const char c : text) {
        if (static_cast<unsigned char>(c) > 0x7F) return manifest_refusal::not_ascii;
    }
    if (text.find('\r') != std::string_view::npos) return manifest_refusal::carriage_return;
    if (text.empty() || text.back() != '\n') return manifest_refusal::no_final_newline;

    std::size_t at = 0;
    release_manifest m;
    if (next_line(text, at) != kManifestHeader) return manifest_refusal::bad_header;

    const auto product_line = next_line(text, at);
    const auto product = product_line ? fields_of<2>(*product_line) : std::nullopt;
    if (!product || (*product)[0] != "product" || !is_product_name((*product)[1])) {
        return manifest_refusal::bad_product;
    }
    m.product = std::string((*product)[1]);

    const auto sequence_line = next_line(text, at);
    const auto sequence = sequence_line ? fields_of<2>(*sequence_line) : std::nullopt;
    const auto sequence_value =
        sequence && (*sequence)[0] == "sequence" ? parse_decimal((*sequence)[1], kMaxSigned) : std::nullopt;
    if (!sequence_value || *sequence_value == 0) return manifest_refusal::bad_sequence;
    m.sequence = *sequence_value;

    const auto expires_line = next_line(text, at);
    const auto expires = expires_line ? fields_of<2>(*expires_line) : std::nullopt;
    const auto expires_value =
        expires && (*expires)[0] == "expires" ? parse_utc_time((*expires)[1]) : std::nullopt;
    if (!expires_value) return manifest_refusal::bad_expires;
    m.expires_unix = *expires_value;

    const auto jar_line = next_line(text, at);
    if (!jar_line || !file_fields<4>(*jar_line, "jar", m.jar)) return manifest_refusal::bad_jar;
    const auto java_line = next_line(text, at);
    if (!java_line || !file_fields<4>(*java_line, "java", m.java)) return manifest_refusal::bad_java;

    if (const auto shell_line = next_line(text, at)) {
        release_shell shell;
        const auto fields = file_fields<5>(*shell_line, "shell", shell.file);
        const auto version = fields ? parse_release_version((*fields)[4]) : std::nullopt;
        if (!version) return manifest_refusal::bad_shell;
        shell.version = *version;
        m.shell = std::move(shell);
    }
    if (at != text.size()) return manifest_refusal::extra_lines;
    out = std::move(m);
    return manifest_refusal::none;
}

std::string serialize_release_manifest(const release_manifest& m) {
    std::string out;
    out += kManifestHeader;
    out += "\nproduct " + m.product;
    out += "\nsequence " + decimal_of(m.sequence);
    out += "\nexpires " + utc_time_text(m.expires_unix);
    out += "\n" + file_line("jar", m.jar);
    out += "\n" + file_line("java", m.java);
    if (m.shell)
        out += "\n" + file_line("shell", m.shell->file) + " " + release_version_text(m.shell->version);
    out += '\n';
    return out;
}

manifest_check check_release_manifest(const release_manifest& manifest, std::string_view product,
                                      std::int64_t now_unix, std::uint64_t highest_sequence) {
    if (manifest.product != product) return manifest_check::other_product;
    if (now_unix >= manifest.expires_unix) return manifest_check::expired;
    if (manifest.sequence < highest_sequence) return manifest_check::rolled_back;
    return manifest_check::ok;
}

const wchar_t* manifest_refusal_text(manifest_refusal refusal) {
    switch (refusal) {
    case manifest_refusal::none: return L"";
    case manifest_refusal::too_long: return L"файл выпуска длиннее 4096 байт";
    case manifest_refusal::not_ascii: return L"в файле выпуска есть символы вне ASCII";
    case manifest_refusal::carriage_return: return L"в файле выпуска есть символ CR";
    case manifest_refusal::no_final_newline: return L"файл выпуска пуст или не кончается переводом строки";
    case manifest_refusal::bad_header: return L"неверная первая строка файла выпуска";
    case manifest_refusal::bad_product: return L"неверная строка product в файле выпуска";
    case manifest_refusal::bad_sequence: return L"неверная строка sequence в файле выпуска";
    case manifest_refusal::bad_expires: return L"неверная строка expires в файле выпуска";
    case manifest_refusal::bad_jar: return L"неверная строка file jar в файле выпуска";
    case manifest_refusal::bad_java: return L"неверная строка file java в файле выпуска";
    case manifest_refusal::bad_shell: return L"неверная строка file shell в файле выпуска";
    case manifest_refusal::extra_lines: return L"лишние строки в конце файла выпуска";
    }
    return L"неизвестная ошибка файла выпуска";
}

const wchar_t* manifest_check_text(manifest_check check) {
    switch (check) {
    case manifest_check::ok: return L"";
    case manifest_check::other_product: return L"файл выпуска предназначен для другого продукта";
    case manifest_check::expired: return L"срок действия файла выпуска истёк";
    case manifest_check::rolled_back: return L"номер файла выпуска меньше уже принятого (откат)";
    }
    return L"неизвестная ошибка файла выпуска";
}

std::optional<release_version> parse_release_version(std::string_view text) {
    release_version version{};
    for (std::size_t i = 0; i < version.size(); ++i) {
        const bool last = i + 1 == version.size();
        const std::size_t dot = text.find('.');
        if (last != (dot == std::string_view::npos)) return std::nullopt;
        const auto part = parse_decimal(last ? text : text.substr(0, dot), 65535);
        if (!part) return std::nullopt;
        version[i] = static_cast<std::uint16_t>(*part);
        if (!last) text.remove_prefix(dot + 1);
    }
    return version;
}

std::string release_version_text(const release_version& v) {
    return decimal_of(v[0]) + "." + decimal_of(v[1]) + "." + decimal_of(v[2]) + "." + decimal_of(v[3]);
}

release_version release_version_from_words(std::uint32_t most_significant, std::uint32_t least_significant) {
    return {static_cast<std::uint16_t>(most_significant >> 16),
            static_cast<std::uint16_t>(most_significant & 0xFFFF),
            static_cast<std::uint16_t>(least_significant >> 16),
            static_cast<std::uint16_t>(least_significant & 0xFFFF)};
}

bool release_version_higher(const release_version& candidate, const release_version& running) {
    return candidate > running; // std::array compares part by part from the left
}

std::string publisher_key_fingerprint(const p256_point& point, sha256_function sha256) {
    // SubjectPublicKeyInfo of id-ecPublicKey on prime256v1 up to the uncompressed point's 0x04.
    static constexpr std::uint8_t prefix[] = {0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2A, 0x86, 0x48,
                                              0xCE, 0x3D, 0x02, 0x01, 0x06, 0x08, 0x2A, 0x86, 0x48,
                                              0xCE, 0x3D, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00, 0x04};
    std::string der(std::begin(prefix), std::end(prefix));
    der.append(point.begin(), point.end());
    static constexpr char digits[] = "0123456789abcdef";
    std::string hex;
    for (const std::uint8_t byte : sha256(der)) {
        hex += digits[byte >> 4];
        hex += digits[byte & 0x0F];
    }
    return hex;
}

std::optional<accepted_sequence> parse_accepted_sequence(std::string_view text) {
    if (text.size() > kReleaseManifestLimit) return std::nullopt;
    std::size_t at = 0;
    if (next_line(text, at) != kSequenceHeader) return std::nullopt;
    const auto key_line = next_line(text, at);
    auto key = key_line ? hex_line(*key_line, "key") : std::nullopt;
    const auto sequence_line = next_line(text, at);
    const auto fields = sequence_line ? fields_of<2>(*sequence_line) : std::nullopt;
    const auto sequence =
        fields && (*fields)[0] == "sequence" ? parse_decimal((*fields)[1], kMaxSigned) : std::nullopt;
    if (!key || !sequence || *sequence == 0 || at != text.size()) return std::nullopt;
    return accepted_sequence{std::move(*key), *sequence};
}

std::string serialize_accepted_sequence(const accepted_sequence& record) {
    return std::string(kSequenceHeader) + "\nkey " + record.key_fingerprint + "\nsequence " +
           decimal_of(record.sequence) + "\n";
}

std::optional<verified_record> parse_verified_record(std::string_view text) {
    if (text.size() > kReleaseManifestLimit) return std::nullopt;
    std::size_t at = 0;
    if (next_line(text, at) != kVerifiedHeader) return std::nullopt;
    const auto key_line = next_line(text, at);
    auto key = key_line ? hex_line(*key_line, "key") : std::nullopt;
    if (!key) return std::nullopt;
    verified_record record{std::move(*key), std::nullopt, std::nullopt};
    // Each optional line is taken when it is the next one; whatever is left over refuses the record.
    std::size_t before = at;
    if (const auto line = next_line(text, at); line && line->starts_with("jar ")) {
        record.jar_sha256_hex = hex_line(*line, "jar");
        if (!record.jar_sha256_hex) return std::nullopt;
        before = at;
    }
    at = before;
    if (const auto line = next_line(text, at); line && line->starts_with("java-archive ")) {
        record.java_archive_sha256_hex = hex_line(*line, "java-archive");
        if (!record.java_archive_sha256_hex) return std::nullopt;
        before = at;
    }
    if (before != text.size()) return std::nullopt;
    return record;
}

std::string serialize_verified_record(const verified_record& record) {
    std::string out = std::string(kVerifiedHeader) + "\nkey " + record.key_fingerprint + "\n";
    if (record.jar_sha256_hex) out += "jar " + *record.jar_sha256_hex + "\n";
    if (record.java_archive_sha256_hex) out += "java-archive " + *record.java_archive_sha256_hex + "\n";
    return out;
}
