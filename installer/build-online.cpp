// build-online: makes the online setup executable from the source tree it lies in
// (<root>/release/bin/build-online), whatever the current directory is.
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "builder.h"
#include "command_line.h"
#include "release_version.h"
#include "source_date.h"
#include "toolchain.h"

namespace {

namespace fs = std::filesystem;

// The binary lies in <root>/release/bin.
tarnquill::Result<fs::path> source_tree_root() {
    std::error_code error;
    const auto self = fs::read_symlink("/proc/self/exe", error);
    if (error) {
        return tarnquill::Error{"Cannot find the builder's own location: " + error.message()};
    }
    return self.parent_path().parent_path().parent_path();
}

// Exit statuses: a failing build, and a call the builder refuses before touching anything.
constexpr int build_failed = 1;
constexpr int bad_invocation = 2;

int fail(const std::string& message, int status = build_failed) {
    std::cerr << "build-online: " << message << "\n";
    return status;
}

// Unset means the member times follow the files in local time, as they always have.
tarnquill::Result<std::optional<std::time_t>> source_date_from_environment() {
    const char* text = std::getenv(std::string(tarnquill::source_date_variable).c_str());
    if (text == nullptr) {
        return std::optional<std::time_t>();
    }
    auto instant = tarnquill::parse_source_date_epoch(text);
    if (!instant) {
        return instant.error();
    }
    return std::optional<std::time_t>(*instant);
}

} // namespace

int main(int argc, char** argv) {
    auto root = source_tree_root();
    if (!root) {
        return fail(root.error().message);
    }
    // The version comes first: the default output name is made from it.
    auto version = tarnquill::read_release_version(*root);
    if (!version) {
        return fail(version.error().message);
    }
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    auto command_line = tarnquill::parse_command_line(arguments);
    if (!command_line) {
        std::cerr << command_line.error().message;
        return bad_invocation;
    }
    // Like a wrong argument, a bad SOURCE_DATE_EPOCH is refused before anything is created.
    auto source_date = source_date_from_environment();
    if (!source_date) {
        return fail(source_date.error().message, bad_invocation);
    }

    tarnquill::BuildRequest request;
    request.root = *root;
    request.version = *version;
    if (command_line->out) {
        request.out = fs::absolute(*command_line->out);
        request.out_display = *command_line->out;
    } else {
        request.out = tarnquill::default_output(*root, *version);
        request.out_display = request.out.string();
    }
    request.work =
        command_line->work ? fs::absolute(*command_line->work) : tarnquill::default_work(*root);
    const char* search_path = std::getenv("PATH");
    request.search_path = search_path != nullptr ? search_path : "";
    request.fallback_tools_folder = tarnquill::llvm_fallback_folder;
    request.source_date = *source_date;

    auto summary = tarnquill::build_setup(request);
    if (!summary) {
        return fail(summary.error().message);
    }
    std::cout << tarnquill::summary_text(*summary) << std::flush;
    return 0;
}
