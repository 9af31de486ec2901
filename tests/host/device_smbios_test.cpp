#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "device/device_pure.h"

namespace {

// Builds a raw RSMB buffer: the 8-byte platform header, then structures as the firmware lays them out.
struct table_builder {
    std::vector<std::uint8_t> bytes = std::vector<std::uint8_t>(8, 0);

    // `area` is the formatted area after the 4 header bytes; its length byte is 4 + area.size().
    table_builder& add(std::uint8_t type, std::vector<std::uint8_t> area, std::initializer_list<std::string> strings) {
        bytes.push_back(type);
        bytes.push_back(static_cast<std::uint8_t>(4 + area.size()));
        bytes.push_back(0x34);  // handle
        bytes.push_back(0x12);
        bytes.insert(bytes.end(), area.begin(), area.end());
        for (const std::string& s : strings) {
            bytes.insert(bytes.end(), s.begin(), s.end());
            bytes.push_back(0);
        }
        if (strings.size() == 0) bytes.push_back(0);
        bytes.push_back(0);
        return *this;
    }
    table_builder& end_of_table() { return add(127, {}, {}); }
    component_map parse(std::size_t* examined = nullptr) const { return parse_smbios_table(bytes, examined); }
};

// A formatted area of `length` bytes (header included) with `index` at `offset`.
std::vector<std::uint8_t> area(std::size_t length, std::initializer_list<std::pair<std::size_t, std::uint8_t>> fields) {
    std::vector<std::uint8_t> a(length - 4, 0);
    for (const auto& [offset, value] : fields) a[offset - 4] = value;
    return a;
}

std::vector<std::uint8_t> system_area(std::size_t length, std::uint8_t serial_index, std::uint8_t uuid_first) {
    std::vector<std::uint8_t> a = area(length, {});
    for (std::size_t i = 0; i < 16; ++i) a[0x08 - 4 + i] = static_cast<std::uint8_t>(uuid_first + i);
    if (length > 0x19) a[0x19 - 4] = serial_index;
    return a;
}

}  // namespace

TEST(smbios_walk, reads_the_five_fields_at_their_exact_offsets) {
    table_builder t;
    // Type 0: version string at 0x05 (index 1), release date at 0x08 (index 2): bios is the latter.
    t.add(0, area(0x18, {{0x05, 1}, {0x08, 2}}), {"1.2.3", "05/17/2023"});
    // Type 1: serial number at 0x07 (index 1), SKU at 0x19 (index 2): system_serial is the SKU.
    std::vector<std::uint8_t> sys = system_area(0x1B, 2, 0x00);
    sys[0x07 - 4] = 1;
    t.add(1, sys, {"SYS-SERIAL", "SKU-42"});
    // Type 2: product at 0x05 (index 1), serial at 0x07 (index 2), location at 0x0A (index 3).
    t.add(2, area(0x0F, {{0x05, 1}, {0x07, 2}, {0x0A, 3}}), {"BOARD-X", "BB-SERIAL", "Slot 1"});
    t.add(3, area(0x15, {{0x04, 1}}), {"chassis"});
    t.end_of_table();

    std::size_t examined = 0;
    const component_map want = {
        {"baseboard", "BB-SERIAL"},
        {"baseboard_product", "Slot 1"},
        {"bios", "05/17/2023"},
        {"system_serial", "SKU-42"},
        {"system_uuid", "00010203-0405-0607-0809-0A0B0C0D0E0F"},  // storage order, no byte swapping
    };
    EXPECT_EQ(t.parse(&examined), want);
    EXPECT_EQ(examined, 5u);  // every structure counts, the end-of-table one included
}

TEST(smbios_walk, required_lengths_of_the_formatted_areas) {
    struct row {
        std::uint8_t type;
        std::size_t length;
        component_map want;
    };
    const row rows[] = {
        {0, 8, {}},
        {0, 9, {{"bios", "one"}}},
        {1, 25, {}},  // ends right before the SKU byte: neither key
        {1, 26, {{"system_serial", "one"}, {"system_uuid", "10111213-1415-1617-1819-1A1B1C1D1E1F"}}},
        {2, 7, {}},
        {2, 8, {{"baseboard", "one"}}},
        {2, 10, {{"baseboard", "one"}}},
        {2, 11, {{"baseboard", "one"}, {"baseboard_product", "two"}}},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(testing::Message() << "type " << int(r.type) << " length " << r.length);
        std::vector<std::uint8_t> a = r.type == 1 ? system_area(r.length, 1, 0x10) : area(r.length, {});
        if (r.type == 0 && r.length > 8) a[0x08 - 4] = 1;
        if (r.type == 2 && r.length > 7) a[0x07 - 4] = 1;
        if (r.type == 2 && r.length > 0x0A) a[0x0A - 4] = 2;
        table_builder t;
        t.add(r.type, a, {"one", "two"}).end_of_table();
        EXPECT_EQ(t.parse(), r.want);
    }
}

TEST(smbios_walk, a_later_structure_replaces_earlier_values_even_with_an_empty_one) {
    table_builder t;
    t.add(2, area(0x0F, {{0x07, 1}, {0x0A, 2}}), {"FIRST", "first-slot"});
    t.add(2, area(0x0F, {{0x07, 0}, {0x0A, 1}}), {"second-slot"});  // index 0: no serial string
    t.end_of_table();
    const component_map want = {{"baseboard", ""}, {"baseboard_product", "second-slot"}};
    EXPECT_EQ(t.parse(), want);
}

TEST(smbios_walk, an_index_past_the_last_string_never_reads_the_next_structure) {
    table_builder t;
    t.add(0, area(0x18, {{0x08, 3}}), {"only-one", "second"});
    t.add(2, area(0x0F, {{0x07, 1}}), {"NEXT-STRUCTURE"});
    t.end_of_table();
    const component_map got = t.parse();
    EXPECT_EQ(got.at("bios"), "");
    EXPECT_EQ(got.at("baseboard"), "NEXT-STRUCTURE");
}

TEST(smbios_walk, uuid_values_are_never_rejected) {
    struct row {
        std::uint8_t fill;
        const char* want;
    };
    const row rows[] = {
        {0x00, "00000000-0000-0000-0000-000000000000"},
        {0xFF, "FFFFFFFF-FFFF-FFFF-FFFF-FFFFFFFFFFFF"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.want);
        std::vector<std::uint8_t> a = area(0x1B, {});
        for (std::size_t i = 0; i < 16; ++i) a[0x08 - 4 + i] = r.fill;
        table_builder t;
        t.add(1, a, {}).end_of_table();
        const component_map got = t.parse();
        EXPECT_EQ(got.at("system_uuid"), r.want);
        EXPECT_EQ(got.at("system_serial"), "");
    }
}

TEST(smbios_walk, a_length_below_four_ends_the_walk) {
    table_builder t;
    t.add(0, area(0x18, {{0x08, 1}}), {"kept"});
    t.bytes.insert(t.bytes.end(), {2, 3, 0, 0, 0, 0});  // length 3
    t.add(2, area(0x0F, {{0x07, 1}}), {"never-read"});
    EXPECT_EQ(t.parse(), (component_map{{"bios", "kept"}}));
}

TEST(smbios_walk, malformed_tails_keep_what_came_before) {
    {
        SCOPED_TRACE("formatted area runs past the end");
        table_builder t;
        t.add(0, area(0x18, {{0x08, 1}}), {"kept"});
        t.bytes.insert(t.bytes.end(), {2, 0x0F, 0, 0, 1});
        EXPECT_EQ(t.parse(), (component_map{{"bios", "kept"}}));
    }
    {
        SCOPED_TRACE("string set without its final zero pair");
        table_builder t;
        t.add(0, area(0x18, {{0x08, 1}}), {});
        t.bytes.resize(t.bytes.size() - 2);
        const std::string tail = "unterminated";
        t.bytes.insert(t.bytes.end(), tail.begin(), tail.end());
        std::size_t examined = 0;
        EXPECT_EQ(t.parse(&examined), (component_map{{"bios", "unterminated"}}));
        EXPECT_EQ(examined, 1u);
    }
    {
        SCOPED_TRACE("header only, or shorter");
        EXPECT_TRUE(parse_smbios_table(std::vector<std::uint8_t>(8, 0)).empty());
        EXPECT_TRUE(parse_smbios_table(std::vector<std::uint8_t>(3, 0)).empty());
        EXPECT_TRUE(parse_smbios_table({}).empty());
        // Three bytes of a structure: fewer than the four of its header.
        EXPECT_TRUE(parse_smbios_table(std::vector<std::uint8_t>{0, 0, 0, 0, 0, 0, 0, 0, 0, 0x18, 0}).empty());
    }
}

TEST(smbios_walk, examines_at_most_256_structures) {
    table_builder t;
    for (int i = 1; i <= 300; ++i) t.add(2, area(0x08, {{0x07, 1}}), {"board-" + std::to_string(i)});
    std::size_t examined = 0;
    const component_map got = t.parse(&examined);
    EXPECT_EQ(examined, 256u);
    EXPECT_EQ(got.at("baseboard"), "board-256");
}

TEST(smbios_string, counts_strings_from_one_and_stops_at_the_end_of_the_set) {
    struct row {
        std::string set;
        std::uint8_t index;
        const char* want;
    };
    using namespace std::string_literals;
    const row rows[] = {
        {"abc\0def\0\0"s, 1, "abc"},
        {"abc\0def\0\0"s, 2, "def"},
        {"abc\0def\0\0"s, 3, ""},           // the set's final zero comes first
        {"abc\0def\0\0xyz\0\0"s, 3, ""},    // what follows belongs to the next structure
        {"abc\0def\0\0"s, 0, ""},
        {"\0\0"s, 1, ""},                   // a set without strings
        {"\0abc\0\0"s, 1, "abc"},           // a lone leading zero is skipped, not counted
        {"\0"s, 1, ""},
        {"abc"s, 1, "abc"},                 // the table ends inside the string
        {"abc\0"s, 2, ""},                  // the table ends before the index
        {"x\0"s, 255, ""},
        {"  lead and trail \t \t\0\0"s, 1, "  lead and trail"},
        {"tab\tinside \0\0"s, 1, "tab\tinside"},
        {" \t \0next\0\0"s, 1, ""},
        {" \t \0next\0\0"s, 2, "next"},
        {"\xD0\x96\x01\x7F\0\0"s, 1, "\xD0\x96\x01\x7F"},  // other bytes are kept as they are
    };
    for (const row& r : rows) {
        SCOPED_TRACE(testing::Message() << testing::PrintToString(r.set) << " #" << int(r.index));
        // A heap copy of exactly the set's size, so a read past it is caught by the sanitizer.
        std::vector<std::uint8_t> bytes(r.set.begin(), r.set.end());
        EXPECT_EQ(smbios_string(bytes.data(), bytes.size(), r.index), r.want);
    }
    EXPECT_EQ(smbios_string(nullptr, 0, 1), "");
}
