// The CycloneDX 1.6 JSON bill of materials written beside the setup executable: the setup as the
// application it describes, the tools that built it, every packed file with its SHA-256, and the
// Electron runtime that the installation downloads instead of carrying it, named as advisory
// databases name it, with its supplier and licence; and the product's maker as the setup's
// supplier and the document's author. Keys are sorted and
// the only number is an integer, so the same inputs always give the same bytes.
#pragma once

#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "payload.h"
#include "product_identity.h"
#include "result.h"
#include "runtime_pin.h"

namespace tarnquill {

struct BuildTool {
    std::string name;        // the program's file name
    std::string version;     // e.g. "19.1.7"
    std::string description; // how the program words its version, e.g. "Debian LLD 19.1.7"
};

struct BillOfMaterials {
    std::string version; // release version text
    std::string setup_file_name;
    std::string setup_sha256;
    std::time_t timestamp = 0;
    std::vector<BuildTool> tools;
    std::vector<PayloadMember> members; // in archive order
    RuntimePin runtime;
    ProductIdentity product; // maker and licence; either left out of the document when empty
};

// A tool named by the first line of its --version: the version is the first word of that line
// that begins with a digit ("Debian clang version 19.1.7 (3~deb12u1)" gives "19.1.7"), or the
// whole line when no word does.
BuildTool reported_tool(const std::string& name, const std::string& version_line);

// The output path with its extension replaced by ".exe.cdx.json" (appended where it has none):
// the checksum file's rule, so the three release files share one stem.
std::filesystem::path bill_of_materials_path(const std::filesystem::path& output);

// "urn:uuid:" and the name-based UUID (version 5, SHA-1) of "urn:sha256:<digest>" in the URL
// namespace of RFC 4122: one setup executable, one serial number.
Result<std::string> serial_number(const std::string& setup_sha256);

// The instant in UTC as "YYYY-MM-DDTHH:MM:SSZ".
std::string utc_timestamp(std::time_t instant);

// The whole document, indented by two spaces, ending in a line feed. Fails when a name is not
// valid UTF-8, which JSON cannot carry.
Result<std::string> bill_of_materials_json(const BillOfMaterials& bom);

} // namespace tarnquill
