// Properties of the ban-check verdict: letter case never changes it; adding a true form anywhere makes
// any body banned; removing every quotation mark leaves no verdict; a chunked read keeps exactly the
// first bytes up to its limit.
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

    // The read loop: the body arrives in chunks (sizes taken from the input) and appending stops at
    // the first false. What is kept is exactly the first `limit` bytes, and false means the limit
    // has been reached.
    const std::size_t limit = 64;
    std::string limited;
    bool more = true;
    for (std::size_t at = 0, i = 0; at < size && more; ++i) {
        const std::size_t step = 1 + data[i % size] % 40;
        more = append_within_limit(limited, body.substr(at, step), limit);
        at += step;
        if (more != (limited.size() < limit)) std::abort();
    }
    if (limited != body.substr(0, limit)) std::abort();
    return 0;
}
