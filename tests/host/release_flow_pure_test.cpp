#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "shell/release_flow_pure.h"

namespace {

const std::string kKey(64, 'k');
const std::string kOtherKey(64, 'o');
const std::string kJar(64, '1');
const std::string kOtherJar(64, '2');
const std::string kArchive(64, 'a');
const std::string kOtherArchive(64, 'b');

release_view view(bool trusted, std::optional<std::string> jar, std::optional<std::string> archive,
                  bool recorded = true) {
    release_view v;
    v.trusted = trusted;
    v.manifest.jar.sha256_hex = kJar;
    v.manifest.java.sha256_hex = kArchive;
    if (recorded) v.verified = verified_record{kKey, std::move(jar), std::move(archive)};
    return v;
}

}  // namespace

TEST(release_plan, the_jar_is_fetched_only_when_it_is_not_the_releases_and_runs_untrusted_only_when_recorded) {
    struct row {
        const char* name;
        release_view release;
        std::optional<std::string> local;
        jar_plan plan;
    };
    const row rows[] = {
        {"trusted, the release's jar", view(true, std::nullopt, std::nullopt, false), kJar, jar_plan::keep},
        {"trusted, another jar", view(true, kOtherJar, std::nullopt), kOtherJar, jar_plan::download},
        {"trusted, none", view(true, kJar, std::nullopt), std::nullopt, jar_plan::download},
        {"untrusted, recorded", view(false, kOtherJar, std::nullopt), kOtherJar, jar_plan::keep},
        {"untrusted, changed since recorded", view(false, kJar, std::nullopt), kOtherJar, jar_plan::missing},
        {"untrusted, no record (an unsigned build's)", view(false, std::nullopt, std::nullopt, false), kJar,
         jar_plan::missing},
        {"untrusted, record without a jar", view(false, std::nullopt, kArchive), kJar, jar_plan::missing},
        {"untrusted, none", view(false, kJar, std::nullopt), std::nullopt, jar_plan::missing},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(plan_jar(r.release, r.local), r.plan);
    }
}

TEST(release_plan, java_is_fetched_when_missing_or_from_another_archive_and_runs_untrusted_only_when_recorded) {
    struct row {
        const char* name;
        release_view release;
        bool home;
        java_plan plan;
    };
    const row rows[] = {
        {"trusted, none", view(true, std::nullopt, kArchive), false, java_plan::download},
        {"trusted, from the release's archive", view(true, std::nullopt, kArchive), true, java_plan::keep},
        {"trusted, from another archive", view(true, std::nullopt, kOtherArchive), true, java_plan::replace},
        {"trusted, from no recorded archive", view(true, kJar, std::nullopt), true, java_plan::replace},
        {"untrusted, recorded", view(false, std::nullopt, kOtherArchive), true, java_plan::keep},
        {"untrusted, recorded but gone", view(false, std::nullopt, kArchive), false, java_plan::missing},
        {"untrusted, not recorded", view(false, kJar, std::nullopt), true, java_plan::missing},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(plan_java(r.release, r.home), r.plan);
    }
}

TEST(release_plan, an_install_keeps_the_other_line_of_the_same_key_only) {
    const verified_record previous{kKey, kOtherJar, kArchive};
    EXPECT_EQ(record_jar(previous, kKey, kJar), (verified_record{kKey, kJar, kArchive}));
    EXPECT_EQ(record_java_archive(previous, kKey, kOtherArchive), (verified_record{kKey, kOtherJar, kOtherArchive}));
    // Another key's digests vouch for nothing under this one.
    EXPECT_EQ(record_jar(previous, kOtherKey, kJar), (verified_record{kOtherKey, kJar, std::nullopt}));
    EXPECT_EQ(record_java_archive(std::nullopt, kKey, kArchive), (verified_record{kKey, std::nullopt, kArchive}));
}
