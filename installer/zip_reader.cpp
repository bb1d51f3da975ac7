#include "zip_reader.h"

#include <zlib.h>

namespace tarnquill {
namespace {

constexpr std::uint32_t local_header_signature = 0x04034b50;
constexpr std::uint32_t central_header_signature = 0x02014b50;
constexpr std::uint32_t end_record_signature = 0x06054b50;
constexpr std::size_t end_record_size = 22;
constexpr std::size_t central_header_size = 46;
constexpr std::size_t local_header_size = 30;

bool fits(std::span<const std::uint8_t> data, std::size_t offset, std::size_t length) {
    return offset <= data.size() && length <= data.size() - offset;
}

Result<Bytes> inflate_raw(std::span<const std::uint8_t> compressed, std::size_t size) {
    // One spare byte: zlib needs room to make progress even for an empty member, and data
    // that inflates to more than the declared size then shows up as a wrong length.
    Bytes out(size + 1);
    z_stream stream{};
    if (inflateInit2(&stream, -15) != Z_OK) {
        return Error{"zlib could not start an inflate stream"};
    }
    stream.next_in = const_cast<Bytef*>(compressed.data());
    stream.avail_in = static_cast<uInt>(compressed.size());
    stream.next_out = out.data();
    stream.avail_out = static_cast<uInt>(out.size());
    const int status = inflate(&stream, Z_FINISH);
    const auto produced = stream.total_out;
    inflateEnd(&stream);
    if (status != Z_STREAM_END || produced != size) {
        return Error{"the deflated data is damaged or has the wrong length"};
    }
    out.resize(size);
    return out;
}

Result<Bytes> read_member_data(std::span<const std::uint8_t> archive, std::size_t local_offset,
                               std::uint16_t method, std::uint32_t compressed_size,
                               std::uint32_t size) {
    if (!fits(archive, local_offset, local_header_size) ||
        get_u32(archive, local_offset) != local_header_signature) {
        return Error{"local header missing"};
    }
    const std::size_t data_offset = local_offset + local_header_size +
                                    get_u16(archive, local_offset + 26) +
                                    get_u16(archive, local_offset + 28);
    if (!fits(archive, data_offset, compressed_size)) {
        return Error{"member data runs past the end of the archive"};
    }
    auto compressed = archive.subspan(data_offset, compressed_size);
    if (method == 0) {
        if (compressed_size != size) {
            return Error{"stored member has two different sizes"};
        }
        return Bytes(compressed.begin(), compressed.end());
    }
    if (method != 8) {
        return Error{"unsupported compression method " + std::to_string(method)};
    }
    return inflate_raw(compressed, size);
}

} // namespace

Result<ZipContents> read_zip(std::span<const std::uint8_t> archive) {
    if (archive.size() < end_record_size) {
        return Error{"ZIP archive too short for its end record"};
    }
    std::size_t end = archive.size() - end_record_size;
    while (get_u32(archive, end) != end_record_signature) {
        if (end == 0) {
            return Error{"ZIP end record not found"};
        }
        --end;
    }
    const std::uint16_t count = get_u16(archive, end + 10);
    const std::uint32_t directory_size = get_u32(archive, end + 12);
    std::size_t offset = get_u32(archive, end + 16);
    if (!fits(archive, offset, directory_size)) {
        return Error{"ZIP central directory lies outside the archive"};
    }

    ZipContents contents;
    for (std::uint16_t i = 0; i < count; ++i) {
        if (!fits(archive, offset, central_header_size) ||
            get_u32(archive, offset) != central_header_signature) {
            return Error{"ZIP central directory entry " + std::to_string(i) + " is damaged"};
        }
        const std::uint16_t method = get_u16(archive, offset + 10);
        const std::uint32_t crc = get_u32(archive, offset + 16);
        const std::uint32_t compressed_size = get_u32(archive, offset + 20);
        const std::uint32_t size = get_u32(archive, offset + 24);
        const std::uint16_t name_length = get_u16(archive, offset + 28);
        const std::size_t skip = get_u16(archive, offset + 30) + get_u16(archive, offset + 32);
        const std::uint32_t local_offset = get_u32(archive, offset + 42);
        if (!fits(archive, offset + central_header_size, name_length + skip)) {
            return Error{"ZIP central directory entry " + std::to_string(i) + " is truncated"};
        }
        const auto name_bytes = archive.subspan(offset + central_header_size, name_length);
        std::string name(name_bytes.begin(), name_bytes.end());
        offset += central_header_size + name_length + skip;

        auto data = read_member_data(archive, local_offset, method, compressed_size, size);
        if (!data) {
            return Error{"ZIP member " + name + ": " + data.error().message};
        }
        const auto actual = static_cast<std::uint32_t>(
            crc32(crc32(0, nullptr, 0), data->data(), static_cast<uInt>(data->size())));
        if (actual != crc) {
            return Error{"ZIP member " + name + ": CRC-32 mismatch"};
        }
        contents.emplace(std::move(name), std::move(*data));
    }
    return contents;
}

} // namespace tarnquill
