#include "zip_writer.h"

#include <limits>

#include <zlib.h>

namespace tarnquill {
namespace {

constexpr std::uint32_t local_header_signature = 0x04034b50;
constexpr std::uint32_t central_header_signature = 0x02014b50;
constexpr std::uint32_t end_record_signature = 0x06054b50;
constexpr std::uint16_t version_needed = 20; // deflate
constexpr std::uint16_t method_deflate = 8;
constexpr std::uint16_t flag_utf8_name = 0x0800;
constexpr std::uint64_t zip32_limit = std::numeric_limits<std::uint32_t>::max();

bool is_ascii(const std::string& text) {
    for (unsigned char c : text) {
        if (c >= 0x80) {
            return false;
        }
    }
    return true;
}

std::uint16_t name_flags(const std::string& name) {
    return is_ascii(name) ? 0 : flag_utf8_name;
}

} // namespace

Result<DosDateTime> dos_date_time(std::time_t modified, Calendar calendar) {
    std::tm fields{};
    const auto* converted =
        calendar == Calendar::utc ? gmtime_r(&modified, &fields) : localtime_r(&modified, &fields);
    if (converted == nullptr) {
        return Error{"the modification time cannot be converted to a calendar date"};
    }
    const int year = fields.tm_year + 1900;
    if (year < 1980 || year > 2107) {
        return Error{"the modification time lies in the year " + std::to_string(year) +
                     ", outside the years 1980 to 2107 that a ZIP date can hold"};
    }
    DosDateTime result;
    result.date = static_cast<std::uint16_t>(((year - 1980) << 9) | ((fields.tm_mon + 1) << 5) |
                                             fields.tm_mday);
    result.time = static_cast<std::uint16_t>((fields.tm_hour << 11) | (fields.tm_min << 5) |
                                             (fields.tm_sec / 2));
    return result;
}

Result<Bytes> deflate_raw(std::span<const std::uint8_t> data) {
    z_stream stream{};
    if (deflateInit2(&stream, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        return Error{"zlib could not start a deflate stream"};
    }
    Bytes out(deflateBound(&stream, static_cast<uLong>(data.size())));
    stream.next_in = const_cast<Bytef*>(data.data());
    stream.avail_in = static_cast<uInt>(data.size());
    stream.next_out = out.data();
    stream.avail_out = static_cast<uInt>(out.size());
    const int status = deflate(&stream, Z_FINISH);
    const auto written = stream.total_out;
    deflateEnd(&stream);
    if (status != Z_STREAM_END) {
        return Error{"zlib could not deflate the data (status " + std::to_string(status) + ")"};
    }
    out.resize(written);
    return out;
}

Status ZipWriter::add(const std::string& name, std::span<const std::uint8_t> data,
                      DosDateTime when) {
    if (data.size() >= zip32_limit) {
        return Error{name + ": the file is too large for a ZIP archive without ZIP64"};
    }
    if (name.size() > std::numeric_limits<std::uint16_t>::max()) {
        return Error{name + ": the member name is too long for a ZIP header"};
    }
    if (members_.size() >= std::numeric_limits<std::uint16_t>::max()) {
        return Error{name + ": too many members for a ZIP archive without ZIP64"};
    }
    auto compressed = deflate_raw(data);
    if (!compressed) {
        return Error{name + ": " + compressed.error().message};
    }
    if (archive_.size() + 30 + name.size() + compressed->size() >= zip32_limit) {
        return Error{name + ": the payload archive would reach 4 GiB"};
    }

    CentralRecord record;
    record.name = name;
    record.when = when;
    record.crc = static_cast<std::uint32_t>(
        crc32(crc32(0, nullptr, 0), data.data(), static_cast<uInt>(data.size())));
    record.compressed_size = static_cast<std::uint32_t>(compressed->size());
    record.size = static_cast<std::uint32_t>(data.size());
    record.local_header_offset = static_cast<std::uint32_t>(archive_.size());

    put_u32(archive_, local_header_signature);
    put_u16(archive_, version_needed);
    put_u16(archive_, name_flags(name));
    put_u16(archive_, method_deflate);
    put_u16(archive_, when.time);
    put_u16(archive_, when.date);
    put_u32(archive_, record.crc);
    put_u32(archive_, record.compressed_size);
    put_u32(archive_, record.size);
    put_u16(archive_, static_cast<std::uint16_t>(name.size()));
    put_u16(archive_, 0); // extra field length
    put_text(archive_, name);
    put_bytes(archive_, *compressed);

    members_.push_back(std::move(record));
    return success();
}

Result<Bytes> ZipWriter::finish() {
    const auto directory_offset = archive_.size();
    for (const auto& member : members_) {
        put_u32(archive_, central_header_signature);
        put_u16(archive_, version_needed); // version made by: MS-DOS attributes, 2.0
        put_u16(archive_, version_needed);
        put_u16(archive_, name_flags(member.name));
        put_u16(archive_, method_deflate);
        put_u16(archive_, member.when.time);
        put_u16(archive_, member.when.date);
        put_u32(archive_, member.crc);
        put_u32(archive_, member.compressed_size);
        put_u32(archive_, member.size);
        put_u16(archive_, static_cast<std::uint16_t>(member.name.size()));
        put_u16(archive_, 0); // extra field length
        put_u16(archive_, 0); // comment length
        put_u16(archive_, 0); // disk number start
        put_u16(archive_, 0); // internal attributes
        put_u32(archive_, 0); // external attributes
        put_u32(archive_, member.local_header_offset);
        put_text(archive_, member.name);
    }
    const auto directory_size = archive_.size() - directory_offset;
    if (archive_.size() + 22 >= zip32_limit) {
        return Error{"the payload archive would reach 4 GiB"};
    }
    const auto count = static_cast<std::uint16_t>(members_.size());
    put_u32(archive_, end_record_signature);
    put_u16(archive_, 0); // number of this disk
    put_u16(archive_, 0); // disk with the central directory
    put_u16(archive_, count);
    put_u16(archive_, count);
    put_u32(archive_, static_cast<std::uint32_t>(directory_size));
    put_u32(archive_, static_cast<std::uint32_t>(directory_offset));
    put_u16(archive_, 0); // comment length
    members_.clear();
    return std::move(archive_);
}

} // namespace tarnquill
