#include "toolchain.h"

#include <cerrno>
#include <cstring>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace tarnquill {
namespace {

bool is_executable_file(const std::filesystem::path& path) {
    std::error_code error;
    return std::filesystem::is_regular_file(path, error) && access(path.c_str(), X_OK) == 0;
}

std::string describe_status(int status) {
    if (WIFEXITED(status)) {
        return "exit status " + std::to_string(WEXITSTATUS(status));
    }
    if (WIFSIGNALED(status)) {
        return "signal " + std::to_string(WTERMSIG(status));
    }
    return "status " + std::to_string(status);
}

} // namespace

std::optional<std::filesystem::path> find_program(std::string_view name,
                                                  std::string_view search_path,
                                                  const std::filesystem::path& fallback_folder) {
    std::size_t start = 0;
    while (start <= search_path.size()) {
        auto end = search_path.find(':', start);
        if (end == std::string_view::npos) {
            end = search_path.size();
        }
        const auto folder = search_path.substr(start, end - start);
        // An empty entry would mean the current directory; the build never depends on it.
        if (!folder.empty()) {
            const auto candidate = std::filesystem::path(folder) / name;
            if (is_executable_file(candidate)) {
                return candidate;
            }
        }
        start = end + 1;
    }
    const auto fallback = fallback_folder / name;
    if (is_executable_file(fallback)) {
        return fallback;
    }
    return std::nullopt;
}

Result<Toolchain> find_toolchain(std::string_view search_path,
                                 const std::filesystem::path& fallback_folder) {
    auto compiler = find_program("clang", search_path, fallback_folder);
    auto linker = find_program("lld-link", search_path, fallback_folder);
    if (!compiler || !linker) {
        return Error{std::string("The compiler (clang) or the linker (lld-link) was not found. ") +
                     "Install LLVM's clang and lld first (on Debian: apt-get install clang-19 "
                     "lld-19), or else install on Windows with scripts/install.ps1 from the "
                     "source tree. No setup executable was built."};
    }
    return Toolchain{*compiler, *linker};
}

Status run_program(const std::filesystem::path& program,
                   const std::vector<std::string>& arguments) {
    std::vector<std::string> words;
    words.push_back(program.string());
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);

    pid_t child = 0;
    const int started =
        posix_spawn(&child, program.c_str(), nullptr, nullptr, argv.data(), environ);
    if (started != 0) {
        return Error{"Cannot start " + program.string() + ": " + std::strerror(started)};
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) {
            return Error{"Lost track of " + program.string() + ": " + std::strerror(errno)};
        }
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        return Error{program.filename().string() + " failed (" + describe_status(status) +
                     "); the build stopped there."};
    }
    return success();
}

Status make_import_library(const Toolchain& tools, const std::filesystem::path& definitions,
                           const std::filesystem::path& library) {
    return run_program(tools.linker, {"/lib", "/machine:x64", "/def:" + definitions.string(),
                                      "/out:" + library.string()});
}

Status compile_bootstrap(const Toolchain& tools, const std::filesystem::path& source,
                         const std::filesystem::path& object) {
    return run_program(tools.compiler,
                       {"--target=x86_64-pc-windows-msvc", "-ffreestanding", "-fno-builtin",
                        "-fno-stack-protector", "-Os", "-fno-exceptions", "-fno-rtti", "-c",
                        source.string(), "-o", object.string()});
}

Status link_setup(const Toolchain& tools, const LinkInputs& inputs,
                  const std::filesystem::path& output) {
    return run_program(tools.linker,
                       {"/nologo", "/machine:x64", "/subsystem:windows,6.02",
                        "/entry:mainCRTStartup", "/nodefaultlib", "/dynamicbase", "/nxcompat",
                        "/highentropyva", "/manifest:no", "/timestamp:0", "/out:" + output.string(),
                        inputs.object.string(), inputs.resources.string(), inputs.kernel32.string(),
                        inputs.user32.string()});
}

} // namespace tarnquill
