// Verdict matching of the ban check: four exact spellings, searched after ASCII lower-casing.
#include "net/net_pure.h"

verdict match_verdict(std::string_view body) {
    // Only 'A'..'Z' change: the server's body is bytes, and no locale may shift other bytes.
    const std::string lowered = ascii_lower(body);
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
