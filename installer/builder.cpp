#include "builder.h"

#include "bill_of_materials.h"
#include "bootstrap_source.h"
#include "checksum.h"
#include "file_io.h"
#include "package_json.h"
#include "payload.h"
#include "pe_check.h"
#include "setup_resources.h"
#include "toolchain.h"
#include "version_record.h"
#include "winget_manifest.h"

namespace tarnquill {
namespace {

namespace fs = std::filesystem;

const fs::path bootstrap_relative = "installer/bootstrap.cpp";
const fs::path kernel32_relative = "installer/kernel32.def";
const fs::path user32_relative = "installer/user32.def";
const fs::path icon_relative = "assets/tarnquill.ico";

Status write_text(const fs::path& path, std::string_view text) {
    return write_file_bytes(
        path, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

Status create_folder(const fs::path& folder) {
    std::error_code error;
    fs::create_directories(folder, error);
    if (error) {
        return Error{"Cannot create the folder " + folder.string() + ": " + error.message()};
    }
    return success();
}

Status write_resources(const BuildRequest& request, std::span<const std::uint8_t> payload) {
    auto ico = read_file_bytes(request.root / icon_relative);
    if (!ico) {
        return ico.error();
    }
    auto resources = setup_resources(payload, *ico, request.version);
    if (!resources) {
        return Error{resources.error().message + " (" + (request.root / icon_relative).string() +
                     "); setup.res was not written."};
    }
    return write_file_bytes(request.work / "setup.res", *resources);
}

Status prepare_bootstrap(const BuildRequest& request, const fs::path& prepared) {
    auto source = read_file_bytes(request.root / bootstrap_relative);
    if (!source) {
        return source.error();
    }
    const std::string text(source->begin(), source->end());
    return write_text(prepared, prepare_bootstrap_source(text, request.version.text));
}

Status compile_and_link(const BuildRequest& request, const Toolchain& tools) {
    const auto kernel32 = request.work / "kernel32.lib";
    const auto user32 = request.work / "user32.lib";
    const auto prepared = request.work / bootstrap_relative.filename();
    const auto object = request.work / "bootstrap.obj";
    if (auto made = make_import_library(tools, request.root / kernel32_relative, kernel32); !made) {
        return made;
    }
    if (auto made = make_import_library(tools, request.root / user32_relative, user32); !made) {
        return made;
    }
    if (auto written = prepare_bootstrap(request, prepared); !written) {
        return written;
    }
    if (auto compiled = compile_bootstrap(tools, prepared, object); !compiled) {
        return compiled;
    }
    return link_setup(tools, {object, request.work / "setup.res", kernel32, user32}, request.out);
}

Result<std::vector<BuildTool>> build_tools(const BuildRequest& request, const Toolchain& tools) {
    std::vector<BuildTool> described = {
        {"build-online", request.version.text, "TARNQUILL image builder"}};
    for (const auto& program : {tools.compiler, tools.linker}) {
        auto line = reported_version(program);
        if (!line) {
            return Error{line.error().message + " No setup executable was built."};
        }
        described.push_back(reported_tool(program.filename().string(), *line));
    }
    return described;
}

// Made before anything is written, so that a document that cannot be made leaves no checksum
// file either.
Result<std::string> describe_setup(const BuildRequest& request, const RuntimePin& runtime,
                                   const ProductIdentity& product,
                                   const std::vector<BuildTool>& tools, const Payload& payload,
                                   const std::string& digest) {
    BillOfMaterials bom;
    bom.version = request.version.text;
    bom.setup_file_name = request.out.filename().string();
    bom.setup_sha256 = digest;
    bom.timestamp = request.source_date.value_or(std::time(nullptr));
    bom.tools = tools;
    bom.members = payload.members;
    bom.runtime = runtime;
    bom.product = product;
    return bill_of_materials_json(bom);
}

// Everything the package manager manifest says but the setup's SHA-256, read and checked
// before anything is created.
Result<WingetRelease> describe_release(const BuildRequest& request,
                                       const ProductIdentity& product) {
    auto address = read_release_address(request.root);
    if (!address) {
        return address.error();
    }
    WingetRelease release{request.version.text, product,
                          address->url(request.version.text, request.out.filename().string()), ""};
    if (auto checked = check_winget_release(release, request.root / "package.json"); !checked) {
        return checked.error();
    }
    return release;
}

Status write_winget_manifest(const fs::path& folder, const WingetRelease& release) {
    if (auto made = create_folder(folder); !made) {
        return made;
    }
    for (const auto& file : winget_manifest_files(release)) {
        if (auto written = write_text(folder / file.name, file.text); !written) {
            return written;
        }
    }
    return success();
}

} // namespace

fs::path default_output(const fs::path& root, const ReleaseVersion& version) {
    return root / "release" / setup_file_name(version.text);
}

fs::path default_work(const fs::path& root) {
    return root / "release" / "build";
}

Result<BuildSummary> build_setup(const BuildRequest& request) {
    auto runtime = read_runtime_pin(request.root);
    if (!runtime) {
        return runtime.error();
    }
    auto product = read_product_identity(request.root);
    if (!product) {
        return product.error();
    }
    auto release = describe_release(request, *product);
    if (!release) {
        return release.error();
    }
    if (auto made = create_folder(request.work); !made) {
        return made.error();
    }
    if (auto made = create_folder(request.out.parent_path()); !made) {
        return made.error();
    }
    auto tools = find_toolchain(request.search_path, request.fallback_tools_folder);
    if (!tools) {
        return tools.error();
    }
    auto described_tools = build_tools(request, *tools);
    if (!described_tools) {
        return described_tools.error();
    }
    auto payload = make_payload(request.root, request.version.text, request.source_date);
    if (!payload) {
        return payload.error();
    }
    if (auto written = write_resources(request, payload->archive); !written) {
        return written.error();
    }
    if (auto linked = compile_and_link(request, *tools); !linked) {
        return linked.error();
    }
    auto image = read_file_bytes(request.out);
    if (!image) {
        return image.error();
    }
    if (auto verified = verify_setup_image(*image, payload->archive, request.version.text);
        !verified) {
        return Error{"Verification of " + request.out.string() +
                     " failed: " + verified.error().message + ". No checksum file was written."};
    }
    auto digest = sha256_hex(*image);
    if (!digest) {
        return digest.error();
    }
    auto bom = describe_setup(request, *runtime, *product, *described_tools, *payload, *digest);
    if (!bom) {
        return bom.error();
    }
    if (auto written = write_text(checksum_path(request.out), checksum_line(*digest, request.out));
        !written) {
        return written.error();
    }
    if (auto written = write_text(bill_of_materials_path(request.out), *bom); !written) {
        return written.error();
    }
    release->installer_sha256 = *digest;
    if (auto written = write_winget_manifest(
            winget_manifest_folder(request.out, request.version.text), *release);
        !written) {
        return written.error();
    }
    return BuildSummary{request.out_display,
                        image->size(),
                        payload->archive.size(),
                        *digest,
                        bill_of_materials_path(request.out_display).string(),
                        winget_manifest_folder(request.out_display, request.version.text).string()};
}

std::string summary_text(const BuildSummary& summary) {
    return "Built unsigned x64 ONLINE installer: " + summary.out_display + "\n" +
           std::to_string(summary.file_size) + " bytes; embedded source ZIP " +
           std::to_string(summary.payload_size) + " bytes\n" + "SHA256 " + summary.digest + "\n" +
           "Bill of materials (CycloneDX 1.6): " + summary.bill_of_materials_display + "\n" +
           "Package manager manifest (winget 1.28.0): " + summary.winget_manifest_display + "\n";
}

} // namespace tarnquill
