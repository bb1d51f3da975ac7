#include "file_io.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

namespace tarnquill {

Result<Bytes> read_file_bytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return Error{"Cannot open " + path.string() + ": " + std::strerror(errno)};
    }
    Bytes data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) {
        return Error{"Cannot read " + path.string() + "."};
    }
    return data;
}

Status write_file_bytes(const std::filesystem::path& path, std::span<const std::uint8_t> data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) {
        return Error{"Cannot create " + path.string() + ": " + std::strerror(errno)};
    }
    out.write(reinterpret_cast<const char*>(data.data()),
              static_cast<std::streamsize>(data.size()));
    out.close();
    if (!out) {
        return Error{"Cannot write " + path.string() + "."};
    }
    return success();
}

} // namespace tarnquill
