#include "pe_check.h"

#include <algorithm>
#include <cstdio>
#include <functional>

#include <nlohmann/json.hpp>

#include "byte_buffer.h"
#include "payload.h"
#include "zip_reader.h"

namespace tarnquill {
namespace {

constexpr std::size_t pe_offset_field = 0x3C;
constexpr std::uint16_t machine_x64 = 0x8664;

Status check_headers(std::span<const std::uint8_t> image) {
    if (image.size() < 2 || image[0] != 'M' || image[1] != 'Z') {
        return Error{"Linked file is not a Windows executable: it does not begin with \"MZ\""};
    }
    if (image.size() < pe_offset_field + 4) {
        return Error{"Linked file is too short for its PE header offset"};
    }
    const std::uint32_t pe = get_u32(image, pe_offset_field);
    if (pe > image.size() || image.size() - pe < 6 || image[pe] != 'P' || image[pe + 1] != 'E' ||
        image[pe + 2] != 0 || image[pe + 3] != 0) {
        return Error{"Linked file has no PE signature at the offset its header gives"};
    }
    const std::uint16_t machine = get_u16(image, pe + 4);
    if (machine != machine_x64) {
        char text[8];
        std::snprintf(text, sizeof text, "0x%04X", machine);
        return Error{std::string("Linked file is not an x64 image: machine field is ") + text};
    }
    return success();
}

Status check_package_version(const ZipContents& contents, const std::string& version_text) {
    const auto name = payload_top_folder(version_text) + "package.json";
    const auto member = contents.find(name);
    if (member == contents.end()) {
        return Error{"Embedded ZIP has no member " + name};
    }
    try {
        const auto document = nlohmann::json::parse(member->second);
        if (document.is_object() && document.contains("version") &&
            document["version"].is_string() && document["version"] == version_text) {
            return success();
        }
    } catch (const nlohmann::json::exception& e) {
        return Error{"Embedded " + name + " is not JSON: " + e.what()};
    }
    return Error{"Embedded " + name + " does not carry the version " + version_text};
}

} // namespace

Status verify_setup_image(std::span<const std::uint8_t> image,
                          std::span<const std::uint8_t> payload, const std::string& version_text) {
    if (auto headers = check_headers(image); !headers) {
        return headers;
    }
    const auto found =
        std::search(image.begin(), image.end(),
                    std::boyer_moore_horspool_searcher(payload.begin(), payload.end()));
    if (payload.empty() || found == image.end()) {
        return Error{"Embedded ZIP did not survive linking"};
    }
    const auto embedded =
        image.subspan(static_cast<std::size_t>(found - image.begin()), payload.size());
    auto contents = read_zip(embedded);
    if (!contents) {
        return Error{"Embedded ZIP does not open: " + contents.error().message};
    }
    return check_package_version(*contents, version_text);
}

} // namespace tarnquill
