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
        const auto equals = argument.find('=');
        const auto option = argument.substr(0, equals);
        std::optional<std::string>* slot = option == "--out"    ? &result.out
                                           : option == "--work" ? &result.work
                                                                : nullptr;
        if (slot == nullptr) {
            return usage("Unknown argument: " + argument);
        }
        std::string value;
        if (equals != std::string::npos) {
            value = argument.substr(equals + 1);
        } else if (i + 1 < arguments.size()) {
            value = arguments[++i];
        } else {
            return usage("Option " + option + " needs a path.");
        }
        if (value.empty()) {
            return usage("Option " + option + " needs a non-empty path.");
        }
        if (slot->has_value()) {
            return usage("Option " + option + " was given twice.");
        }
        *slot = std::move(value);
    }
    return result;
}

} // namespace tarnquill
