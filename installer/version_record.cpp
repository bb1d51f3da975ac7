#include "version_record.h"

#include <string>

namespace tarnquill {
namespace {

constexpr std::size_t block_header_size = 6;

Bytes utf16le(std::u16string_view text) {
    Bytes out;
    for (char16_t unit : text) {
        put_u16(out, static_cast<std::uint16_t>(unit));
    }
    put_u16(out, 0);
    return out;
}

// Version texts are ASCII; widening each byte gives their UTF-16 form.
std::u16string widen(std::string_view text) {
    return std::u16string(text.begin(), text.end());
}

Bytes string_block(std::u16string_view key, std::string_view value) {
    return version_block(key, utf16le(widen(value)));
}

} // namespace

Bytes version_block(std::u16string_view key, std::span<const std::uint8_t> value,
                    const std::vector<Bytes>& children, BlockType type,
                    std::optional<std::uint16_t> value_length) {
    Bytes out(block_header_size, 0);
    put_bytes(out, utf16le(key));
    align(out);
    put_bytes(out, value);
    if (!children.empty()) {
        align(out);
        for (const auto& child : children) {
            put_bytes(out, child);
            align(out);
        }
    }
    const auto derived = type == BlockType::text ? value.size() / 2 : value.size();
    const auto length = static_cast<std::uint16_t>(out.size());
    const auto value_units = value_length.value_or(static_cast<std::uint16_t>(derived));
    out[0] = static_cast<std::uint8_t>(length);
    out[1] = static_cast<std::uint8_t>(length >> 8);
    out[2] = static_cast<std::uint8_t>(value_units);
    out[3] = static_cast<std::uint8_t>(value_units >> 8);
    out[4] = static_cast<std::uint8_t>(type);
    out[5] = 0;
    return out;
}

Bytes fixed_file_info(const ReleaseVersion& version) {
    const std::uint32_t most = (std::uint32_t{version.major} << 16) | version.minor;
    const std::uint32_t least = std::uint32_t{version.patch} << 16;
    Bytes out;
    put_u32(out, 0xFEEF04BD); // dwSignature
    put_u32(out, 0x00010000); // dwStrucVersion
    put_u32(out, most);       // dwFileVersionMS
    put_u32(out, least);      // dwFileVersionLS
    put_u32(out, most);       // dwProductVersionMS
    put_u32(out, least);      // dwProductVersionLS
    put_u32(out, 0x3F);       // dwFileFlagsMask
    put_u32(out, 0);          // dwFileFlags
    put_u32(out, 0x00040004); // dwFileOS: Windows NT, 32-bit Windows interface
    put_u32(out, 1);          // dwFileType: application
    put_u32(out, 0);          // dwFileSubtype
    put_u32(out, 0);          // dwFileDateMS
    put_u32(out, 0);          // dwFileDateLS
    return out;
}

std::string setup_file_name(const std::string& version_text) {
    return "TARNQUILL-Setup-" + version_text + "-online.exe";
}

Bytes version_resource(const ReleaseVersion& version) {
    const auto& v = version.text;
    std::vector<Bytes> strings = {
        string_block(u"CompanyName", "TARNQUILL"),
        string_block(u"FileDescription", "TARNQUILL " + v + " online installer"),
        string_block(u"FileVersion", version.four_part()),
        string_block(u"InternalName", "TARNQUILL-Setup"),
        string_block(u"OriginalFilename", setup_file_name(v)),
        string_block(u"ProductName", "TARNQUILL"),
        string_block(u"ProductVersion", version.four_part()),
    };
    const auto table = version_block(u"040904b0", {}, strings, BlockType::text, 0);
    const auto string_info = version_block(u"StringFileInfo", {}, {table}, BlockType::text, 0);

    Bytes translation_value;
    put_u16(translation_value, 0x0409);
    put_u16(translation_value, 1200);
    const auto translation =
        version_block(u"Translation", translation_value, {}, BlockType::binary, 4);
    const auto var_info = version_block(u"VarFileInfo", {}, {translation}, BlockType::text, 0);

    return version_block(u"VS_VERSION_INFO", fixed_file_info(version), {string_info, var_info},
                         BlockType::binary, 52);
}

} // namespace tarnquill
