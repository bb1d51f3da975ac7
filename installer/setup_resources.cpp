#include "setup_resources.h"

#include "icon_group.h"
#include "manifest.h"
#include "res_writer.h"
#include "version_record.h"

namespace tarnquill {

Result<Bytes> setup_resources(std::span<const std::uint8_t> payload,
                              std::span<const std::uint8_t> ico, const ReleaseVersion& version) {
    auto icon = convert_icon(ico);
    if (!icon) {
        return icon.error();
    }
    Bytes out = res_empty_entry();
    put_bytes(out, res_entry(resource_type::rcdata, payload_resource_id, payload));
    for (std::size_t i = 0; i < icon->images.size(); ++i) {
        const auto id = static_cast<std::uint16_t>(first_icon_id + i);
        put_bytes(out, res_entry(resource_type::icon, id, icon->images[i]));
    }
    put_bytes(out, res_entry(resource_type::group_icon, first_icon_id, icon->group));
    put_bytes(out, res_entry(resource_type::manifest, 1, application_manifest(version)));
    put_bytes(out, res_entry(resource_type::version, 1, version_resource(version)));
    return out;
}

} // namespace tarnquill
