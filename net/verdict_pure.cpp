// Verdict matching of the ban check: four exact spellings, searched after ASCII lower-casing.
#include "net/net_pure.h"

namespace {

// Only 'A'..'Z' change: the server's body is bytes, and no locale may shift other bytes.
std::string lower_ascii(std::string_view body) {
    std::string out(body);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

}  // namespace

verdict match_verdict(std::string_view body) {
    const std::string lowered = lower_ascii(body);
    // The true forms win: a body that mentions both counts as banned.
    if (lowered.find("\"banned\":true") != std::string::npos ||
        lowered.find("\"banned\": true") != std::string::npos) {
        return verdict::banned;
    }
    if (lowered.find("\"banned\":false") != std::string::npos ||
        lowered.find("\"banned\": false") != std::string::npos) {
        return verdict::not_banned;
    }
    return verdict::none;
}

bool append_within_limit(std::string& body, std::string_view chunk, std::size_t limit) {
    if (body.size() >= limit) return false;
    const std::size_t room = limit - body.size();
    body.append(chunk.substr(0, room));
    return body.size() < limit;
}
