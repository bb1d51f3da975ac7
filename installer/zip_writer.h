// Writes a ZIP archive in memory: every member raw-deflated at level 9, sizes and CRC-32 in
// the local headers, no directory entries, no comment, no data descriptors.
#pragma once

#include <cstdint>
#include <ctime>
#include <span>
#include <string>
#include <vector>

#include "byte_buffer.h"
#include "result.h"

namespace tarnquill {

// A member's modification time in the two 16-bit MS-DOS fields of a ZIP header.
struct DosDateTime {
    std::uint16_t time = 0;
    std::uint16_t date = 0;
};

// The calendar a DOS date and time is read in: DOS fields carry no time zone.
enum class Calendar {
    local, // the build machine's time zone
    utc,   // the same fields wherever the archive is made
};

// Converts a file time into DOS fields; fails outside the years 1980 to 2107.
Result<DosDateTime> dos_date_time(std::time_t modified, Calendar calendar = Calendar::local);

// Raw deflate (no zlib header) at compression level 9.
Result<Bytes> deflate_raw(std::span<const std::uint8_t> data);

class ZipWriter {
  public:
    // Appends one member; `name` uses forward slashes.
    Status add(const std::string& name, std::span<const std::uint8_t> data, DosDateTime when);

    // Appends the central directory and its end record, and hands the archive over.
    Result<Bytes> finish();

  private:
    struct CentralRecord {
        std::string name;
        DosDateTime when;
        std::uint32_t crc = 0;
        std::uint32_t compressed_size = 0;
        std::uint32_t size = 0;
        std::uint32_t local_header_offset = 0;
    };

    Bytes archive_;
    std::vector<CentralRecord> members_;
};

} // namespace tarnquill
