#include <gtest/gtest.h>

#include <string>

#include "net/net_pure.h"

namespace {

const char* name(verdict v) {
    switch (v) {
    case verdict::banned:
        return "banned";
    case verdict::not_banned:
        return "not_banned";
    case verdict::none:
        break;
    }
    return "none";
}

}  // namespace

TEST(verdict, accepts_only_the_four_spellings) {
    struct row {
        std::string body;
        verdict want;
    };
    const row rows[] = {
        {R"({"banned":false})", verdict::not_banned},
        {R"({"banned": false})", verdict::not_banned},
        {R"({"banned":true})", verdict::banned},
        {R"({"banned": true})", verdict::banned},
        {R"({"BANNED":FALSE})", verdict::not_banned},  // lower-cased before the search
        {R"({"Banned": True})", verdict::banned},
        {R"({"banned" :true})", verdict::none},    // space before the colon
        {R"({"banned":  true})", verdict::none},   // two spaces after it
        {"{\"banned\":\ttrue}", verdict::none},     // a tab is not a space
        {R"({banned:true})", verdict::none},       // the quotes are part of the spelling
        {R"({"banned":"true"})", verdict::none},   // a quoted value is no verdict
        {R"({"banned":1})", verdict::none},
        {R"({"isbanned":false})", verdict::none},  // the member name is quoted on its own
        {"", verdict::none},
        {R"("banned":tru)", verdict::none},
        {R"(xx"banned":trueyy)", verdict::banned},      // a substring anywhere counts
        {R"(["banned":falsehood])", verdict::not_banned},
        {std::string("\0\"banned\":false", 15), verdict::not_banned},  // bytes before it do not matter
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.body);
        EXPECT_STREQ(name(match_verdict(r.body)), name(r.want));
    }
}

TEST(verdict, a_true_form_anywhere_wins_over_a_false_form) {
    EXPECT_EQ(match_verdict(R"({"banned":false,"old":{"banned": true}})"), verdict::banned);
    EXPECT_EQ(match_verdict(R"({"banned": true, "x":{"banned":false}})"), verdict::banned);
}

TEST(verdict, only_ascii_letters_are_folded) {
    // 0xC0..0xDE are capital letters in Latin-1; a locale-dependent tolower would change them.
    const std::string latin = "\xC0\"banned\":false";
    EXPECT_EQ(match_verdict(latin), verdict::not_banned);
    // A non-ASCII byte inside the spelling is never folded into an ASCII letter.
    EXPECT_EQ(match_verdict("\"b\xC1nned\":true"), verdict::none);
}

TEST(verdict_body_limit, stops_exactly_at_the_limit) {
    struct row {
        std::size_t have;
        std::size_t chunk;
        std::size_t limit;
        std::size_t want_size;
        bool want_more;
    };
    const row rows[] = {
        {0, 10, 100, 10, true},
        {90, 10, 100, 100, false},  // reaching the limit exactly ends the reading
        {95, 10, 100, 100, false},  // the chunk is cut
        {100, 10, 100, 100, false}, // nothing more once full
        {0, 0, 100, 0, true},
        {0, 5, 0, 0, false},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(testing::Message() << r.have << "+" << r.chunk << " of " << r.limit);
        std::string body(r.have, 'a');
        const std::string chunk(r.chunk, 'b');
        EXPECT_EQ(append_within_limit(body, chunk, r.limit), r.want_more);
        EXPECT_EQ(body.size(), r.want_size);
        EXPECT_EQ(body.substr(0, r.have), std::string(r.have, 'a'));  // what was there is kept
    }
}

TEST(verdict_body_limit, is_a_generous_mebibyte) {
    EXPECT_EQ(kBanBodyLimit, std::size_t{1} << 20);
}
