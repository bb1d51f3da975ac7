#include "payload.h"

#include <algorithm>

#include <sys/stat.h>

#include "checksum.h"
#include "file_io.h"
#include "packing.h"
#include "zip_writer.h"

namespace tarnquill {
namespace {

Result<DosDateTime> file_date_time(const std::filesystem::path& path,
                                   std::optional<std::time_t> source_date) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        return Error{"Cannot read the modification time of " + path.string() + "."};
    }
    // A fresh clone dates every file at checkout time; the commit's instant replaces it.
    auto when = source_date ? dos_date_time(std::min(info.st_mtime, *source_date), Calendar::utc)
                            : dos_date_time(info.st_mtime);
    if (!when) {
        return Error{"Cannot pack " + path.string() + ": " + when.error().message +
                     ". The payload archive was not made."};
    }
    return when;
}

} // namespace

std::string payload_top_folder(const std::string& version_text) {
    return "TARNQUILL-v" + version_text + "/";
}

Result<Payload> make_payload(const std::filesystem::path& root, const std::string& version_text,
                             std::optional<std::time_t> source_date) {
    auto files = list_packed_files(root);
    if (!files) {
        return files.error();
    }
    const auto top = payload_top_folder(version_text);
    ZipWriter zip;
    Payload payload;
    for (const auto& file : *files) {
        auto when = file_date_time(file.absolute_path, source_date);
        if (!when) {
            return when.error();
        }
        auto data = read_file_bytes(file.absolute_path);
        if (!data) {
            return data.error();
        }
        auto digest = sha256_hex(*data);
        if (!digest) {
            return digest.error();
        }
        const auto name = top + file.relative_path;
        if (auto added = zip.add(name, *data, *when); !added) {
            return Error{"Cannot pack " + file.absolute_path.string() + ": " +
                         added.error().message};
        }
        payload.members.push_back({name, *digest});
    }
    auto archive = zip.finish();
    if (!archive) {
        return archive.error();
    }
    payload.archive = std::move(*archive);
    return payload;
}

} // namespace tarnquill
