#include "bill_of_materials.h"

#include <algorithm>
#include <array>
#include <cstdint>

#include <nlohmann/json.hpp>
#include <openssl/evp.h>

namespace tarnquill {
namespace {

using nlohmann::json;

// The URL namespace of RFC 4122, 6ba7b811-9dad-11d1-80b4-00c04fd430c8.
constexpr std::array<std::uint8_t, 16> url_namespace = {
    0x6b, 0xa7, 0xb8, 0x11, 0x9d, 0xad, 0x11, 0xd1, 0x80, 0xb4, 0x00, 0xc0, 0x4f, 0xd4, 0x30, 0xc8};

json sha256_hashes(const std::string& digest) {
    return json::array({json{{"alg", "SHA-256"}, {"content", digest}}});
}

json property(const std::string& name, const std::string& value) {
    return json{{"name", name}, {"value", value}};
}

// Declared by the component's makers: package.json for the product, the LICENSE file in
// electron/electron for the runtime.
json declared_license(const std::string& kind, const std::string& value) {
    return json::array({json{{"license", {{kind, value}, {"acknowledgement", "declared"}}}}});
}

json tool_components(const std::vector<BuildTool>& tools) {
    auto components = json::array();
    for (const auto& tool : tools) {
        components.push_back({{"type", "application"},
                              {"name", tool.name},
                              {"version", tool.version},
                              {"description", tool.description}});
    }
    return components;
}

json setup_component(const BillOfMaterials& bom) {
    json setup = {
        {"type", "application"},
        {"bom-ref", bom.setup_file_name},
        {"name", "TARNQUILL"},
        {"version", bom.version},
        {"description", "TARNQUILL " + bom.version + " online installer"},
        {"hashes", sha256_hashes(bom.setup_sha256)},
        {"properties", json::array({property("tarnquill:file-name", bom.setup_file_name)})}};
    if (!bom.product.maker.empty()) {
        setup["supplier"] = {{"name", bom.product.maker}};
    }
    // As package.json writes it, which need not be an SPDX identifier ("SEE LICENSE IN
    // TERMS_OF_USE.md"): a licence by name.
    if (!bom.product.license.empty()) {
        setup["licenses"] = declared_license("name", bom.product.license);
    }
    return setup;
}

json file_component(const PayloadMember& member) {
    return {{"type", "file"}, {"name", member.name}, {"hashes", sha256_hashes(member.sha256)}};
}

json electron_project() {
    return {{"name", "The Electron project"},
            {"url", json::array({"https://www.electronjs.org/"})}};
}

// Not carried: the installation scripts download it, from the first URL and else the second,
// and refuse an archive whose SHA-256 differs from the pin.
json runtime_component(const RuntimePin& pin) {
    const auto urls = pin.download_urls();
    return {{"type", "framework"},
            {"bom-ref", pin.archive()},
            {"name", "electron"},
            {"version", pin.version},
            {"purl", pin.package_url()},
            {"cpe", pin.cpe_name()},
            {"supplier", electron_project()},
            {"licenses", declared_license("id", "MIT")},
            {"scope", "required"},
            {"description", "Electron runtime for Windows x64, downloaded at install time from "
                            "the distribution URLs in their order and checked against the "
                            "SHA-256; not carried in the setup"},
            {"hashes", sha256_hashes(pin.sha256)},
            {"externalReferences",
             json::array({json{{"type", "distribution"},
                               {"url", urls[0]},
                               {"comment", "primary source, tried first"}},
                          json{{"type", "distribution"},
                               {"url", urls[1]},
                               {"comment", "mirror, tried when the primary source fails"}}})},
            {"properties", json::array({property("tarnquill:archive", pin.archive()),
                                        property("tarnquill:delivery", "install-time-download")})}};
}

json document(const BillOfMaterials& bom, const std::string& serial) {
    auto components = json::array();
    for (const auto& member : bom.members) {
        components.push_back(file_component(member));
    }
    components.push_back(runtime_component(bom.runtime));
    json metadata = {{"timestamp", utc_timestamp(bom.timestamp)},
                     {"lifecycles", json::array({json{{"phase", "build"}}})},
                     {"tools", {{"components", tool_components(bom.tools)}}},
                     {"component", setup_component(bom)}};
    if (!bom.product.maker.empty()) {
        metadata["authors"] = json::array({json{{"name", bom.product.maker}}});
    }
    json dependency = {{"ref", bom.setup_file_name},
                       {"dependsOn", json::array({bom.runtime.archive()})}};
    return {{"$schema", "http://cyclonedx.org/schema/bom-1.6.schema.json"},
            {"bomFormat", "CycloneDX"},
            {"specVersion", "1.6"},
            {"serialNumber", serial},
            {"version", 1},
            {"metadata", metadata},
            {"components", components},
            {"dependencies", json::array({dependency})}};
}

} // namespace

BuildTool reported_tool(const std::string& name, const std::string& version_line) {
    std::size_t start = 0;
    while (start < version_line.size()) {
        const auto end = std::min(version_line.find(' ', start), version_line.size());
        if (version_line[start] >= '0' && version_line[start] <= '9') {
            return {name, version_line.substr(start, end - start), version_line};
        }
        start = end + 1;
    }
    return {name, version_line, version_line};
}

std::filesystem::path bill_of_materials_path(const std::filesystem::path& output) {
    auto path = output;
    path.replace_extension(".exe.cdx.json");
    return path;
}

Result<std::string> serial_number(const std::string& setup_sha256) {
    const auto name = "urn:sha256:" + setup_sha256;
    std::string input(url_namespace.begin(), url_namespace.end());
    input += name;
    unsigned char hash[EVP_MAX_MD_SIZE];
    std::size_t length = 0;
    if (EVP_Q_digest(nullptr, "SHA1", nullptr, input.data(), input.size(), hash, &length) != 1) {
        return Error{
            "OpenSSL could not compute the SHA-1 for the bill of materials' serial number"};
    }
    hash[6] = static_cast<unsigned char>((hash[6] & 0x0F) | 0x50); // version 5
    hash[8] = static_cast<unsigned char>((hash[8] & 0x3F) | 0x80); // RFC 4122 variant
    static constexpr char hex[] = "0123456789abcdef";
    std::string text = "urn:uuid:";
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) {
            text.push_back('-');
        }
        text.push_back(hex[hash[i] >> 4]);
        text.push_back(hex[hash[i] & 0xF]);
    }
    return text;
}

std::string utc_timestamp(std::time_t instant) {
    std::tm fields{};
    gmtime_r(&instant, &fields);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &fields);
    return text;
}

Result<std::string> bill_of_materials_json(const BillOfMaterials& bom) {
    auto serial = serial_number(bom.setup_sha256);
    if (!serial) {
        return serial.error();
    }
    try {
        return document(bom, *serial).dump(2) + "\n";
    } catch (const json::exception& e) {
        return Error{std::string("Cannot write the bill of materials: ") + e.what() +
                     ". No checksum file or bill of materials was written."};
    }
}

} // namespace tarnquill
