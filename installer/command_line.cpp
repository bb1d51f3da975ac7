#include "command_line.h"

namespace tarnquill {
namespace {

Error usage(const std::string& problem) {
    return Error{problem + "\n" + std::string(usage_text)};
}

} // namespace

Result<CommandLine> parse_command_line(std::span<const std::string> arguments) {
    CommandLine result;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const auto& argument = arguments[i];
        std::optional<std::string>* target = nullptr;
        std::string option;
        std::optional<std::string> value;
        for (const auto& [name, slot] :
             {std::pair{"--out", &result.out}, std::pair{"--work", &result.work}}) {
            const std::string prefix = std::string(name) + "=";
            if (argument == name) {
                target = slot;
                option = name;
                if (i + 1 >= arguments.size()) {
                    return usage("Option " + option + " needs a path.");
                }
                value = arguments[++i];
            } else if (argument.starts_with(prefix)) {
                target = slot;
                option = name;
                value = argument.substr(prefix.size());
            }
        }
        if (target == nullptr) {
            return usage("Unknown argument: " + argument);
        }
        if (value->empty()) {
            return usage("Option " + option + " needs a non-empty path.");
        }
        if (target->has_value()) {
            return usage("Option " + option + " was given twice.");
        }
        *target = std::move(value);
    }
    return result;
}

} // namespace tarnquill
