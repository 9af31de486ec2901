#include "shell/release_flow_pure.h"

jar_plan plan_jar(const release_view& release, const std::optional<std::string>& local_sha256_hex) {
    if (release.trusted) {
        return local_sha256_hex && *local_sha256_hex == release.manifest.jar.sha256_hex ? jar_plan::keep
                                                                                       : jar_plan::download;
    }
    // Only the bytes a trusted release once installed here: a jar left by a build without a key, or
    // changed since, is not run on the word of nobody.
    const bool recorded = local_sha256_hex && release.verified && release.verified->jar_sha256_hex &&
                          *release.verified->jar_sha256_hex == *local_sha256_hex;
    return recorded ? jar_plan::keep : jar_plan::missing;
}

java_plan plan_java(const release_view& release, bool home_exists) {
    const std::optional<std::string> recorded =
        release.verified ? release.verified->java_archive_sha256_hex : std::nullopt;
    if (release.trusted) {
        if (!home_exists) return java_plan::download;
        return recorded && *recorded == release.manifest.java.sha256_hex ? java_plan::keep : java_plan::replace;
    }
    return home_exists && recorded ? java_plan::keep : java_plan::missing;
}

namespace {

verified_record same_key_or_new(const std::optional<verified_record>& previous, std::string_view key) {
    if (previous && previous->key_fingerprint == key) return *previous;
    verified_record fresh;
    fresh.key_fingerprint = std::string(key);
    return fresh;
}

}  // namespace

verified_record record_jar(const std::optional<verified_record>& previous, std::string_view key_fingerprint,
                           std::string_view jar_sha256_hex) {
    verified_record record = same_key_or_new(previous, key_fingerprint);
    record.jar_sha256_hex = std::string(jar_sha256_hex);
    return record;
}

verified_record record_java_archive(const std::optional<verified_record>& previous,
                                    std::string_view key_fingerprint, std::string_view archive_sha256_hex) {
    verified_record record = same_key_or_new(previous, key_fingerprint);
    record.java_archive_sha256_hex = std::string(archive_sha256_hex);
    return record;
}
