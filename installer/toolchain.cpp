#include "toolchain.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
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

// Both ends of a pipe, closed when it goes out of scope.
struct Pipe {
    int ends[2] = {-1, -1};
    void close_end(int end) {
        if (ends[end] >= 0) {
            close(ends[end]);
            ends[end] = -1;
        }
    }
    ~Pipe() {
        close_end(0);
        close_end(1);
    }
};

Result<pid_t> start_program(const std::filesystem::path& program,
                            const std::vector<std::string>& arguments,
                            const posix_spawn_file_actions_t* actions) {
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
        posix_spawn(&child, program.c_str(), actions, nullptr, argv.data(), environ);
    if (started != 0) {
        return Error{"Cannot start " + program.string() + ": " + std::strerror(started)};
    }
    return child;
}

Status wait_for_program(const std::filesystem::path& program, pid_t child) {
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
    auto child = start_program(program, arguments, nullptr);
    if (!child) {
        return child.error();
    }
    return wait_for_program(program, *child);
}

Result<std::string> reported_version(const std::filesystem::path& program) {
    Pipe output;
    // Close-on-exec: the child keeps only its copy as standard output.
    if (pipe2(output.ends, O_CLOEXEC) != 0) {
        return Error{"Cannot make a pipe to read " + program.string() +
                     " --version: " + std::strerror(errno)};
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, output.ends[1], STDOUT_FILENO);
    auto child = start_program(program, {"--version"}, &actions);
    posix_spawn_file_actions_destroy(&actions);
    if (!child) {
        return child.error();
    }
    output.close_end(1);
    std::string text;
    char buffer[4096];
    while (true) {
        const auto count = read(output.ends[0], buffer, sizeof buffer);
        if (count > 0) {
            text.append(buffer, static_cast<std::size_t>(count));
        } else if (count == 0 || errno != EINTR) {
            break;
        }
    }
    if (auto ended = wait_for_program(program, *child); !ended) {
        return ended.error();
    }
    const auto line = text.substr(0, text.find_first_of("\r\n"));
    if (line.empty()) {
        return Error{program.string() + " --version printed no version."};
    }
    return line;
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
