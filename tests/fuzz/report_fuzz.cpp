// Properties of a failure report's text handling: UTF-8 repair is idempotent and leaves no NUL; a JSON
// string has no raw control character or unescaped quote; masking never leaves a long user name in
// any letter case; the body never passes the server's limit, whatever the text and lines.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "net/net_pure.h"

namespace {

std::string ascii_upper(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);

    const std::string valid = valid_utf8(input);
    if (valid_utf8(valid) != valid) std::abort();
    if (valid.find('\0') != std::string::npos) std::abort();

    const std::string json = json_string(input);
    for (std::size_t i = 1; i + 1 < json.size(); ++i) {
        const auto c = static_cast<unsigned char>(json[i]);
        if (c < 0x20) std::abort();
        if (c == '\\') {
            ++i;  // the escaped character
        } else if (c == '"') {
            std::abort();
        }
    }

    const std::string masked = redact_personal(input, "C:\\Users\\Qzv", {"qzv"});
    if (ascii_upper(masked).find("QZV") != std::string::npos) std::abort();

    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < input.size()) {
        const std::size_t end = std::min(input.size(), start + 1 + static_cast<std::uint8_t>(input[start]) * 40u);
        lines.push_back(input.substr(start, end - start));
        start = end;
    }
    const report_fields fields{std::string(64, 'a'), std::string(64, 'b'), "java17_failed", "1.0.0.0", "10.0.1",
                               input + input + input, lines};
    if (report_body(fields).size() > kReportBodyLimit) std::abort();
    return 0;
}
