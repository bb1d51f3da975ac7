#include "res_writer.h"

namespace tarnquill {
namespace {

void put_header(Bytes& out, std::uint32_t data_size, std::uint16_t type, std::uint16_t id,
                std::uint16_t memory_flags, std::uint16_t language) {
    put_u32(out, data_size);
    put_u32(out, res_header_size);
    put_u16(out, 0xFFFF); // numeric type follows
    put_u16(out, type);
    put_u16(out, 0xFFFF); // numeric name follows
    put_u16(out, id);
    put_u32(out, 0); // DataVersion
    put_u16(out, memory_flags);
    put_u16(out, language);
    put_u32(out, 0); // Version
    put_u32(out, 0); // Characteristics
}

} // namespace

Bytes res_entry(std::uint16_t type, std::uint16_t id, std::span<const std::uint8_t> data,
                std::uint16_t language) {
    Bytes out;
    out.reserve(res_header_size + data.size() + 3);
    put_header(out, static_cast<std::uint32_t>(data.size()), type, id, res_memory_flags, language);
    put_bytes(out, data);
    align(out);
    return out;
}

Bytes res_empty_entry() {
    Bytes out;
    put_header(out, 0, 0, 0, 0, 0);
    return out;
}

} // namespace tarnquill
