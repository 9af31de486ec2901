// The canonical text of the component map: what the fingerprint digest covers.
#include "device/device_pure.h"
#include "base/text_pure.h"

std::string canonical_text(const component_map& components) {
    std::string text;
    for (const auto& [key, value] : components) {
        // An empty value means the source had nothing; its key stays out as well.
        if (value.empty()) continue;
        text += key;
        text += '=';
        text += value;
        text += '\n';
    }
    return text;
}

std::string fingerprint_input(const component_map& components) {
    std::string input = canonical_text(components);
    input += kFingerprintSalt;
    return input;
}

bool has_any_value(const component_map& components) {
    for (const auto& entry : components) {
        if (!entry.second.empty()) return true;
    }
    return false;
}

std::string signing_key_from_stored(std::span<const std::uint8_t> stored) {
    std::string key = unscramble(stored.data(), stored.size());
    // The key is used as a zero-terminated text.
    const std::size_t end = key.find('\0');
    if (end != std::string::npos) key.resize(end);
    return key;
}
