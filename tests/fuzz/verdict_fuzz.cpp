// Properties of the ban-check verdict: letter case never changes it; adding a true form anywhere makes
// any body banned; removing every quotation mark leaves no verdict.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "net/net_pure.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string body(reinterpret_cast<const char*>(data), size);

    std::string upper = body;
    for (char& c : upper) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    const verdict v = match_verdict(body);
    if (match_verdict(upper) != v) std::abort();

    const std::size_t cut = size == 0 ? 0 : data[0] % (size + 1);
    const std::string with_true = body.substr(0, cut) + "\"BANNED\": TRUE" + body.substr(cut);
    if (match_verdict(with_true) != verdict::banned) std::abort();

    std::string unquoted;
    for (char c : body) {
        if (c != '"') unquoted.push_back(c);
    }
    if (match_verdict(unquoted) != verdict::none) std::abort();

    std::string limited;
    append_within_limit(limited, body, 64);
    if (limited != body.substr(0, 64)) std::abort();
    return 0;
}
