#include <gtest/gtest.h>

#include <string>

#include "byte_buffer.h"
#include "icon_group.h"
#include "manifest.h"
#include "release_version.h"
#include "res_writer.h"
#include "setup_resources.h"
#include "test_tree.h"
#include "version_record.h"

namespace tarnquill {
namespace {

ReleaseVersion version_of(const std::string& text) {
    auto version = parse_release_version(text);
    EXPECT_TRUE(version.ok()) << text;
    return *version;
}

Bytes utf16(const std::string& text) {
    Bytes out;
    for (char c : text) {
        put_u16(out, static_cast<std::uint8_t>(c));
    }
    return out;
}

bool contains(const Bytes& haystack, const Bytes& needle) {
    return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) !=
           haystack.end();
}

class InvalidVersion : public ::testing::TestWithParam<const char*> {};

TEST_P(InvalidVersion, IsRefusedWithInvalidVersion) {
    auto version = parse_release_version(GetParam());
    ASSERT_FALSE(version.ok());
    EXPECT_EQ(version.error().message.rfind("Invalid version", 0), 0u);
}

INSTANTIATE_TEST_SUITE_P(Texts, InvalidVersion,
                         ::testing::Values("1.2", "1.2.3.4", "1.2.3-beta", "", "v1.2.3", " 1.2.3",
                                           "1.2.3\n", "1..3", "1.2.", "\xd9\xa1.2.3", "65536.0.0"));

TEST(ReleaseVersion, KeepsLeadingZerosInTheTextButStoresTheValues) {
    const auto version = version_of("01.2.3");
    EXPECT_EQ(version.text, "01.2.3");
    EXPECT_EQ(version.four_part(), "01.2.3.0");
    EXPECT_EQ(version.major, 1);
    EXPECT_EQ(version.minor, 2);
    EXPECT_EQ(version.patch, 3);
}

TEST(ReleaseVersion, AcceptsLeadingZerosUpTo200CharactersAndRefusesLongerTexts) {
    const std::string longest = std::string(195, '0') + "1.2.3";
    ASSERT_EQ(longest.size(), 200u);
    const auto version = version_of(longest);
    EXPECT_EQ(version.major, 1);
    const auto record = version_resource(version);
    EXPECT_EQ(get_u16(record, 0), record.size());

    const auto refused = parse_release_version("0" + longest);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().message.rfind("Invalid version", 0), 0u);
}

TEST(VersionRecord, Is712BytesFor0150WithTheRootSpanningTheWholeRecord) {
    const auto record = version_resource(version_of("0.15.0"));
    ASSERT_EQ(record.size(), 712u);
    EXPECT_EQ(get_u16(record, 0), 712);
    EXPECT_EQ(get_u16(record, 2), 52);
    EXPECT_EQ(get_u16(record, 4), 0);
    EXPECT_EQ(Bytes(record.begin() + 6, record.begin() + 36), utf16("VS_VERSION_INFO"));
    // Fixed information starts after the key (32 bytes with its zero) and alignment.
    const std::uint32_t expected_fixed[13] = {
        0xFEEF04BD, 0x10000, 0x0000000F, 0, 0x0000000F, 0, 0x3F, 0, 0x40004, 1, 0, 0, 0};
    for (int i = 0; i < 13; ++i) {
        EXPECT_EQ(get_u32(record, 40 + 4 * i), expected_fixed[i]) << "field " << i;
    }
    for (const char* text : {"TARNQUILL 0.15.0 online installer", "0.15.0.0", "TARNQUILL-Setup",
                             "TARNQUILL-Setup-0.15.0-online.exe", "040904b0", "Translation"}) {
        EXPECT_TRUE(contains(record, utf16(text))) << text;
    }
    // Translation: language 0x0409 and code page 1200 are the record's last four bytes.
    EXPECT_EQ(get_u16(record, 708), 0x0409);
    EXPECT_EQ(get_u16(record, 710), 1200);
}

TEST(VersionRecord, For0123StoresOneTwoThreeButKeepsTheTextInItsStrings) {
    const auto record = version_resource(version_of("01.2.3"));
    EXPECT_EQ(get_u32(record, 48), 0x00010002u);
    EXPECT_EQ(get_u32(record, 52), 0x00030000u);
    EXPECT_TRUE(contains(record, utf16("TARNQUILL 01.2.3 online installer")));
    EXPECT_TRUE(contains(record, utf16("01.2.3.0")));
    EXPECT_TRUE(contains(record, utf16("TARNQUILL-Setup-01.2.3-online.exe")));
}

TEST(VersionBlock, CountsTheChildsTrailingAlignmentInTheParentOnly) {
    const Bytes value = {1, 2, 3, 4, 5};
    const auto child = version_block(u"ab", value, {}, BlockType::binary);
    // header 6 + key 6 = 12, value 5: ends at 17 without its alignment bytes.
    ASSERT_EQ(child.size(), 17u);
    EXPECT_EQ(get_u16(child, 0), 17);
    EXPECT_EQ(get_u16(child, 2), 5);
    const auto parent = version_block(u"p", {}, {child, child});
    // header 6 + key 4 = 10, aligned 12; children 20 + 20.
    EXPECT_EQ(parent.size(), 52u);
    EXPECT_EQ(get_u16(parent, 0), 52);
    EXPECT_EQ(get_u16(parent, 2), 0);
    EXPECT_EQ(get_u16(parent, 4), 1);
}

TEST(Manifest, Is652BytesOnOneLineWithTheFourPartVersion) {
    const auto manifest = application_manifest(version_of("0.15.0"));
    const std::string text(manifest.begin(), manifest.end());
    EXPECT_EQ(text.size(), 652u);
    EXPECT_EQ(text.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>", 0), 0u);
    EXPECT_NE(text.find("<assemblyIdentity version=\"0.15.0.0\" processorArchitecture=\"amd64\" "
                        "name=\"TARNQUILL.Setup\" type=\"win32\"/>"),
              std::string::npos);
    EXPECT_NE(text.find("<requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/>"),
              std::string::npos);
    EXPECT_NE(text.find("{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"), std::string::npos);
    EXPECT_EQ(text.find('\n'), std::string::npos);
    EXPECT_EQ(text.find("0.13.3.0"), std::string::npos);
    EXPECT_EQ(text.substr(text.size() - 11), "</assembly>");
}

Bytes ico_header(std::uint16_t type, std::uint16_t count) {
    Bytes ico;
    put_u16(ico, 0);
    put_u16(ico, type);
    put_u16(ico, count);
    return ico;
}

TEST(IconConversion, AnIcoWithNoImagesGivesASixByteGroup) {
    auto icon = convert_icon(ico_header(1, 0));
    ASSERT_TRUE(icon.ok());
    EXPECT_TRUE(icon->images.empty());
    EXPECT_EQ(icon->group, (Bytes{0, 0, 1, 0, 0, 0}));
}

TEST(IconConversion, RefusesFilesThatAreNotIconsOrAreTooShort) {
    auto cursor = convert_icon(ico_header(2, 0));
    ASSERT_FALSE(cursor.ok());
    EXPECT_EQ(cursor.error().message, "Not an ICO file");
    EXPECT_FALSE(convert_icon(Bytes{0, 0, 1, 0}).ok());
    EXPECT_FALSE(convert_icon(ico_header(1, 2)).ok());

    auto past_end = ico_header(1, 1);
    const Bytes entry = {16, 16, 0, 0, 1, 0, 32, 0, 100, 0, 0, 0, 22, 0, 0, 0};
    put_bytes(past_end, entry);
    put_bytes(past_end, Bytes(99, 7));
    EXPECT_FALSE(convert_icon(past_end).ok());
}

TEST(IconConversion, TheShippedIconGivesNineImagesAndA132ByteGroup) {
    const auto ico = test::read_bytes(test::repository_root() / "assets/tarnquill.ico");
    ASSERT_GE(ico.size(), 6u + 9 * 16);
    auto icon = convert_icon(ico);
    ASSERT_TRUE(icon.ok());
    ASSERT_EQ(icon->images.size(), 9u);
    ASSERT_EQ(icon->group.size(), 132u);
    EXPECT_EQ(Bytes(icon->group.begin(), icon->group.begin() + 6), (Bytes{0, 0, 1, 0, 9, 0}));
    for (std::size_t i = 0; i < 9; ++i) {
        const auto entry = 6 + 16 * i;
        const auto group_entry = 6 + 14 * i;
        EXPECT_EQ(Bytes(icon->group.begin() + group_entry, icon->group.begin() + group_entry + 12),
                  Bytes(ico.begin() + entry, ico.begin() + entry + 12));
        EXPECT_EQ(get_u16(icon->group, group_entry + 12), 101 + i);
        const auto offset = get_u32(ico, entry + 12);
        EXPECT_EQ(icon->images[i],
                  Bytes(ico.begin() + offset, ico.begin() + offset + get_u32(ico, entry + 8)));
    }
}

TEST(ResourceEntry, HasTheHeaderFieldsAndPadsTheDataToFourBytes) {
    const auto entry = res_entry(resource_type::rcdata, 2000, Bytes{1, 2, 3, 4, 5});
    ASSERT_EQ(entry.size(), 40u);
    EXPECT_EQ(get_u32(entry, 0), 5u);
    EXPECT_EQ(get_u32(entry, 4), 32u);
    EXPECT_EQ(get_u32(entry, 8), 0x000AFFFFu);
    EXPECT_EQ(get_u32(entry, 12), 0x07D0FFFFu);
    EXPECT_EQ(get_u32(entry, 16), 0u);
    EXPECT_EQ(get_u16(entry, 20), 0x1030);
    EXPECT_EQ(get_u16(entry, 22), 0);
    EXPECT_EQ(get_u32(entry, 24), 0u);
    EXPECT_EQ(get_u32(entry, 28), 0u);
    EXPECT_EQ(Bytes(entry.begin() + 32, entry.end()), (Bytes{1, 2, 3, 4, 5, 0, 0, 0}));
}

// Walks a .res file the way a resource compiler reads it.
struct ParsedEntry {
    std::uint16_t type;
    std::uint16_t id;
    std::uint16_t flags;
    std::uint16_t language;
    Bytes data;
};

std::vector<ParsedEntry> parse_res(const Bytes& file) {
    std::vector<ParsedEntry> entries;
    std::size_t at = 0;
    while (at < file.size()) {
        const auto size = get_u32(file, at);
        EXPECT_EQ(get_u32(file, at + 4), 32u);
        EXPECT_EQ(get_u16(file, at + 8), 0xFFFF);
        EXPECT_EQ(get_u16(file, at + 12), 0xFFFF);
        entries.push_back({get_u16(file, at + 10), get_u16(file, at + 14), get_u16(file, at + 20),
                           get_u16(file, at + 22),
                           Bytes(file.begin() + at + 32, file.begin() + at + 32 + size)});
        at += 32 + size + padding_to_4(size);
    }
    EXPECT_EQ(at, file.size());
    return entries;
}

TEST(SetupResources, ParseBackInOrderWithLanguageZero) {
    const auto ico = test::read_bytes(test::repository_root() / "assets/tarnquill.ico");
    const Bytes payload(1001, 0x5A);
    const auto version = version_of("0.15.0");
    auto file = setup_resources(payload, ico, version);
    ASSERT_TRUE(file.ok());
    const auto entries = parse_res(*file);
    ASSERT_EQ(entries.size(), 1u + 1 + 9 + 3);
    EXPECT_EQ(entries[0].type, 0);
    EXPECT_EQ(entries[0].id, 0);
    EXPECT_EQ(entries[0].flags, 0);
    EXPECT_TRUE(entries[0].data.empty());
    EXPECT_EQ(entries[1].type, 10);
    EXPECT_EQ(entries[1].id, 2000);
    EXPECT_EQ(entries[1].data, payload);
    for (std::uint16_t i = 0; i < 9; ++i) {
        EXPECT_EQ(entries[2 + i].type, 3);
        EXPECT_EQ(entries[2 + i].id, 101 + i);
    }
    EXPECT_EQ(entries[11].type, 14);
    EXPECT_EQ(entries[11].id, 101);
    EXPECT_EQ(entries[11].data.size(), 132u);
    EXPECT_EQ(entries[12].type, 24);
    EXPECT_EQ(entries[12].id, 1);
    EXPECT_EQ(entries[12].data, application_manifest(version));
    EXPECT_EQ(entries[13].type, 16);
    EXPECT_EQ(entries[13].id, 1);
    EXPECT_EQ(entries[13].data.size(), 712u);
    for (std::size_t i = 1; i < entries.size(); ++i) {
        EXPECT_EQ(entries[i].flags, 0x1030) << i;
        EXPECT_EQ(entries[i].language, 0) << i;
    }
}

} // namespace
} // namespace tarnquill
