#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>

#include "byte_buffer.h"
#include "pe_check.h"
#include "zip_writer.h"

namespace tarnquill {
namespace {

Bytes payload_with_version(const std::string& version) {
    const std::string json = "{\"version\": \"" + version + "\"}";
    ZipWriter zip;
    EXPECT_TRUE(
        zip.add("TARNQUILL-v0.15.0/package.json", Bytes(json.begin(), json.end()), {}).ok());
    EXPECT_TRUE(zip.add("TARNQUILL-v0.15.0/README.md", Bytes(2000, 'r'), {}).ok());
    auto archive = zip.finish();
    EXPECT_TRUE(archive.ok());
    return *archive;
}

// The fields the check reads: "MZ", the PE offset at 0x3C, signature and machine.
Bytes image_around(const Bytes& payload) {
    Bytes image(0x80 + payload.size() + 512, 0);
    image[0] = 'M';
    image[1] = 'Z';
    image[0x3C] = 0x40;
    image[0x40] = 'P';
    image[0x41] = 'E';
    image[0x44] = 0x64;
    image[0x45] = 0x86;
    std::copy(payload.begin(), payload.end(), image.begin() + 0x80);
    return image;
}

struct Damage {
    const char* name;
    std::function<void(Bytes&)> apply;
    const char* message;
};

void PrintTo(const Damage& damage, std::ostream* out) {
    *out << damage.name;
}

class DamagedImage : public ::testing::TestWithParam<Damage> {};

TEST_P(DamagedImage, FailsVerificationWithItsMessage) {
    const auto payload = payload_with_version("0.15.0");
    auto image = image_around(payload);
    GetParam().apply(image);
    auto verified = verify_setup_image(image, payload, "0.15.0");
    ASSERT_FALSE(verified.ok());
    EXPECT_NE(verified.error().message.find(GetParam().message), std::string::npos)
        << verified.error().message;
}

INSTANTIATE_TEST_SUITE_P(
    Checks, DamagedImage,
    ::testing::Values(
        Damage{"NoMz", [](Bytes& image) { image[0] = 'X'; }, "does not begin with \"MZ\""},
        Damage{"NoPeSignature", [](Bytes& image) { image[0x42] = 1; }, "no PE signature"},
        Damage{"PeOffsetPastTheEnd", [](Bytes& image) { image[0x3F] = 0x7F; }, "no PE signature"},
        Damage{"WrongMachine",
               [](Bytes& image) {
                   image[0x44] = 0x4C;
                   image[0x45] = 0x01;
               },
               "machine field is 0x014C"},
        Damage{"PayloadNotFound", [](Bytes& image) { image[0x80 + 40] ^= 0x55; },
               "Embedded ZIP did not survive linking"},
        Damage{"TooShort", [](Bytes& image) { image.resize(1); }, "\"MZ\""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ImageVerification, AcceptsAnImageThatCarriesThePayloadWithItsVersion) {
    const auto payload = payload_with_version("0.15.0");
    auto verified = verify_setup_image(image_around(payload), payload, "0.15.0");
    EXPECT_TRUE(verified.ok()) << verified.error().message;
}

TEST(ImageVerification, RefusesAPayloadWhosePackageJsonCarriesAnotherVersion) {
    const auto payload = payload_with_version("0.14.9");
    auto verified = verify_setup_image(image_around(payload), payload, "0.15.0");
    ASSERT_FALSE(verified.ok());
    EXPECT_NE(verified.error().message.find("0.15.0"), std::string::npos);
}

TEST(ImageVerification, RefusesAPayloadWhoseMemberFailsItsCrc) {
    auto payload = payload_with_version("0.15.0");
    // Flip a bit inside the first member's deflated data in both copies alike, so the
    // archive is still found but does not open cleanly.
    payload[30 + 30 + 3] ^= 0x01;
    auto verified = verify_setup_image(image_around(payload), payload, "0.15.0");
    ASSERT_FALSE(verified.ok());
    EXPECT_NE(verified.error().message.find("Embedded ZIP"), std::string::npos);
}

} // namespace
} // namespace tarnquill
