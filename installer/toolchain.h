// The compiler and the linker that turn the bootstrap into the setup executable, and the
// three kinds of calls made to them. Programs are started with argument lists, never a shell.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "result.h"

namespace tarnquill {

struct Toolchain {
    std::filesystem::path compiler; // clang
    std::filesystem::path linker;   // lld-link
};

// Folder searched when a program is not on the search path: Debian's LLVM 19.
inline const std::filesystem::path llvm_fallback_folder = "/usr/lib/llvm-19/bin";

// First executable file named `name` in the folders of `search_path` (colon separated),
// then in `fallback_folder`.
std::optional<std::filesystem::path> find_program(std::string_view name,
                                                  std::string_view search_path,
                                                  const std::filesystem::path& fallback_folder);

// Looks up clang and lld-link on `search_path` (normally $PATH), then in the fallback folder.
Result<Toolchain> find_toolchain(std::string_view search_path,
                                 const std::filesystem::path& fallback_folder);

// Starts `program` with `arguments` (without argv[0]), waits, and fails on a non-zero status.
Status run_program(const std::filesystem::path& program, const std::vector<std::string>& arguments);

// The first line `program --version` prints, as the program words it
// ("Debian clang version 19.1.7 (3~deb12u1)").
Result<std::string> reported_version(const std::filesystem::path& program);

// lld-link /lib /machine:x64 /def:<definitions> /out:<library>
Status make_import_library(const Toolchain& tools, const std::filesystem::path& definitions,
                           const std::filesystem::path& library);

// Compiles the freestanding bootstrap into a COFF object for x64 Windows, optimised for size.
Status compile_bootstrap(const Toolchain& tools, const std::filesystem::path& source,
                         const std::filesystem::path& object);

struct LinkInputs {
    std::filesystem::path object;
    std::filesystem::path resources;
    std::filesystem::path kernel32;
    std::filesystem::path user32;
};

// Links the GUI executable: entry mainCRTStartup, no default libraries, time stamp 0.
Status link_setup(const Toolchain& tools, const LinkInputs& inputs,
                  const std::filesystem::path& output);

} // namespace tarnquill
