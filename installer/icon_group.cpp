#include "icon_group.h"

#include <string>

namespace tarnquill {
namespace {

constexpr std::size_t ico_header_size = 6;
constexpr std::size_t ico_entry_size = 16;
constexpr std::size_t group_entry_prefix = 12; // width .. image size, copied as they stand

} // namespace

Result<IconResources> convert_icon(std::span<const std::uint8_t> ico) {
    if (ico.size() < ico_header_size) {
        return Error{"ICO file too short for its 6-byte header (" + std::to_string(ico.size()) +
                     " bytes)"};
    }
    if (get_u16(ico, 2) != 1) {
        return Error{"Not an ICO file"};
    }
    const std::uint16_t count = get_u16(ico, 4);
    if (ico.size() < ico_header_size + ico_entry_size * count) {
        return Error{"ICO file too short for its " + std::to_string(count) + " directory entries"};
    }

    if (count > 0xFFFF - first_icon_id + 1) {
        return Error{"ICO file holds more images than resource IDs can name"};
    }

    IconResources result;
    put_u16(result.group, 0);
    put_u16(result.group, 1);
    put_u16(result.group, count);
    for (std::uint16_t i = 0; i < count; ++i) {
        const std::size_t entry = ico_header_size + ico_entry_size * i;
        const std::uint32_t size = get_u32(ico, entry + 8);
        const std::uint32_t offset = get_u32(ico, entry + 12);
        if (offset > ico.size() || size > ico.size() - offset) {
            return Error{"ICO image " + std::to_string(i) + " reaches past the end of the file"};
        }
        const auto image = ico.subspan(offset, size);
        result.images.emplace_back(image.begin(), image.end());
        put_bytes(result.group, ico.subspan(entry, group_entry_prefix));
        put_u16(result.group, static_cast<std::uint16_t>(first_icon_id + i));
    }
    return result;
}

} // namespace tarnquill
