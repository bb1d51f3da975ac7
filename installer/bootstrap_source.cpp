#include "bootstrap_source.h"

namespace tarnquill {

std::string prepare_bootstrap_source(std::string_view source, std::string_view version_text) {
    std::string prepared;
    prepared.reserve(source.size());
    std::size_t start = 0;
    for (auto at = source.find(version_placeholder); at != std::string_view::npos;
         at = source.find(version_placeholder, start)) {
        prepared.append(source.substr(start, at - start));
        prepared.append(version_text);
        start = at + version_placeholder.size();
    }
    prepared.append(source.substr(start));
    return prepared;
}

} // namespace tarnquill
