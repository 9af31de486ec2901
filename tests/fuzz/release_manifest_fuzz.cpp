// Properties of the release manifest and the launcher directory's records on arbitrary bytes: every
// number and field has one canonical spelling, so an accepted text is exactly what its record writes
// back, and the written text reads back as the same record. An accepted manifest also keeps to the
// limits of the whole text (length, ASCII, no CR, a final LF), whichever line rule let it through.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "net/release_manifest_pure.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);

    release_manifest manifest;
    if (parse_release_manifest(input, manifest) == manifest_refusal::none) {
        const std::string text = serialize_release_manifest(manifest);
        if (text != input) std::abort();
        release_manifest again;
        if (parse_release_manifest(text, again) != manifest_refusal::none || !(again == manifest))
            std::abort();
        if (input.size() > kReleaseManifestLimit || input.back() != '\n') std::abort();
        for (const char c : input) {
            if (c == '\r' || static_cast<unsigned char>(c) > 0x7F) std::abort();
        }
        if (manifest.sequence == 0 || manifest.sequence > 9223372036854775807ULL) std::abort();
    }

    if (const auto record = parse_accepted_sequence(input)) {
        if (serialize_accepted_sequence(*record) != input) std::abort();
        if (parse_accepted_sequence(serialize_accepted_sequence(*record)) != record) std::abort();
    }
    if (const auto record = parse_verified_record(input)) {
        if (serialize_verified_record(*record) != input) std::abort();
        if (parse_verified_record(serialize_verified_record(*record)) != record) std::abort();
    }
    // A version read from the text after the last space of any line is written back the same way.
    const std::size_t space = input.rfind(' ');
    const std::string_view tail = std::string_view(input).substr(space == std::string::npos ? 0 : space + 1);
    if (const auto version = parse_release_version(tail)) {
        if (release_version_text(*version) != tail) std::abort();
    }
    return 0;
}
