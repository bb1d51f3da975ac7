// Runs a program for a test and captures its exit status and both output streams.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include "test_tree.h"

extern char** environ;

namespace tarnquill::test {

struct ProcessResult {
    int exit_status = -1;
    std::string out;
    std::string err;
};

inline ProcessResult run_process(std::vector<std::string> argv, const fs::path& working_folder,
                                 const fs::path& capture_folder) {
    const auto out_path = capture_folder / "stdout.txt";
    const auto err_path = capture_folder / "stderr.txt";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addchdir_np(&actions, working_folder.c_str());
    std::vector<char*> words;
    for (auto& word : argv) {
        words.push_back(word.data());
    }
    words.push_back(nullptr);
    pid_t child = 0;
    ProcessResult result;
    if (posix_spawn(&child, words[0], &actions, nullptr, words.data(), environ) == 0) {
        int status = 0;
        waitpid(child, &status, 0);
        result.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    result.out = read_text(out_path);
    result.err = read_text(err_path);
    return result;
}

} // namespace tarnquill::test
