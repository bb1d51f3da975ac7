#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "byte_buffer.h"
#include "source_date.h"
#include "zip_reader.h"
#include "zip_writer.h"

namespace tarnquill {
namespace {

class DosDateTimeInUtc : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
    }
    static std::time_t utc(int year, int month, int day, int hour, int minute, int second) {
        std::tm when{};
        when.tm_year = year - 1900;
        when.tm_mon = month - 1;
        when.tm_mday = day;
        when.tm_hour = hour;
        when.tm_min = minute;
        when.tm_sec = second;
        return timegm(&when);
    }
};

TEST_F(DosDateTimeInUtc, PacksTheFieldsWithTwoSecondResolution) {
    auto first = dos_date_time(utc(1980, 1, 1, 0, 0, 0));
    ASSERT_TRUE(first.ok());
    EXPECT_EQ(first->date, 0x0021);
    EXPECT_EQ(first->time, 0);

    auto last = dos_date_time(utc(2107, 12, 31, 23, 59, 59));
    ASSERT_TRUE(last.ok());
    EXPECT_EQ(last->date, (127 << 9) | (12 << 5) | 31);
    EXPECT_EQ(last->time, (23 << 11) | (59 << 5) | 29);
}

TEST_F(DosDateTimeInUtc, RefusesYearsAZipDateCannotHold) {
    auto early = dos_date_time(utc(1979, 12, 31, 23, 59, 59));
    ASSERT_FALSE(early.ok());
    EXPECT_NE(early.error().message.find("1979"), std::string::npos);
    EXPECT_FALSE(dos_date_time(utc(2108, 1, 1, 0, 0, 0)).ok());
}

TEST(SourceDateEpoch, AcceptsDecimalInstantsAZipDateCanHold) {
    EXPECT_EQ(*parse_source_date_epoch("315532800"), earliest_zip_instant);
    EXPECT_EQ(*parse_source_date_epoch("4354819199"), latest_zip_instant);
    EXPECT_EQ(*parse_source_date_epoch("001700000000"), 1700000000);
}

class RefusedSourceDateEpoch : public ::testing::TestWithParam<const char*> {};

TEST_P(RefusedSourceDateEpoch, NamesTheVariableAndItsValue) {
    auto parsed = parse_source_date_epoch(GetParam());
    ASSERT_FALSE(parsed.ok());
    EXPECT_NE(parsed.error().message.find("SOURCE_DATE_EPOCH"), std::string::npos);
    EXPECT_NE(parsed.error().message.find("\"" + std::string(GetParam()) + "\""),
              std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Values, RefusedSourceDateEpoch,
                         ::testing::Values("", "abc", "-1", "+1700000000", " 1700000000",
                                           "1700000000 ", "1.7e9", "0x65000000", "315532799",
                                           "4354819200", "99999999999999999999999999"));

struct LocalHeader {
    std::uint16_t flags;
    std::uint16_t method;
    std::uint32_t compressed_size;
    std::uint32_t size;
};

LocalHeader first_local_header(const Bytes& archive) {
    EXPECT_EQ(get_u32(archive, 0), 0x04034b50u);
    return {get_u16(archive, 6), get_u16(archive, 8), get_u32(archive, 18), get_u32(archive, 22)};
}

TEST(ZipWriter, StoresA39ByteFileDeflatedEvenWhenThatMakesItLarger) {
    const std::string text = "abcdefghijklmnopqrstuvwxyz0123456789ABC";
    ASSERT_EQ(text.size(), 39u);
    ZipWriter zip;
    ASSERT_TRUE(zip.add("T/small.txt", Bytes(text.begin(), text.end()), {}).ok());
    auto archive = zip.finish();
    ASSERT_TRUE(archive.ok());
    const auto header = first_local_header(*archive);
    EXPECT_EQ(header.method, 8);
    EXPECT_EQ(header.size, 39u);
    EXPECT_EQ(header.compressed_size, 41u);
}

TEST(ZipWriter, MarksNonAsciiNamesAsUtf8AndReadsBackEveryMember) {
    ZipWriter zip;
    const Bytes empty;
    const Bytes data(5000, 'q');
    ASSERT_TRUE(zip.add("T/empty", empty, {}).ok());
    ASSERT_TRUE(zip.add("T/\xc3\xa9t\xc3\xa9.txt", data, {}).ok());
    auto archive = zip.finish();
    ASSERT_TRUE(archive.ok());
    EXPECT_EQ(first_local_header(*archive).flags, 0);

    auto contents = read_zip(*archive);
    ASSERT_TRUE(contents.ok()) << contents.error().message;
    ASSERT_EQ(contents->size(), 2u);
    EXPECT_EQ(contents->at("T/empty"), empty);
    EXPECT_EQ(contents->at("T/\xc3\xa9t\xc3\xa9.txt"), data);
}

TEST(ZipReader, ReportsADamagedMemberByName) {
    ZipWriter zip;
    const Bytes data(300, 'a');
    ASSERT_TRUE(zip.add("T/a.txt", data, {}).ok());
    auto archive = zip.finish();
    ASSERT_TRUE(archive.ok());
    (*archive)[30 + 7 + 2] ^= 0xFF; // inside the deflated data
    auto contents = read_zip(*archive);
    ASSERT_FALSE(contents.ok());
    EXPECT_NE(contents.error().message.find("T/a.txt"), std::string::npos);
}

} // namespace
} // namespace tarnquill
