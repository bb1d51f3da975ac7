#include "product_identity.h"

#include <algorithm>
#include <optional>
#include <string_view>

#include <nlohmann/json.hpp>

#include "package_json.h"

namespace tarnquill {
namespace {

using nlohmann::json;

// npm's short form "Name <email> (url)": the name is what comes before the address and the URL.
std::string name_in_person_text(std::string_view text) {
    text = text.substr(0, std::min(text.find('<'), text.find('(')));
    const auto first = text.find_first_not_of(" \t");
    const auto last = text.find_last_not_of(" \t");
    return first == std::string_view::npos ? "" : std::string(text.substr(first, last - first + 1));
}

std::optional<std::string> maker_name(const json& author) {
    if (author.is_string()) {
        return name_in_person_text(author.get<std::string>());
    }
    if (author.is_object() && author.contains("name") && author["name"].is_string()) {
        return author["name"].get<std::string>();
    }
    return std::nullopt;
}

Error unusable_member(const std::filesystem::path& root, const std::string& member,
                      const std::string& expected) {
    return Error{"The \"" + member + "\" member of " + (root / "package.json").string() +
                 " is not " + expected +
                 "; the bill of materials and the package manager manifest take it from there. No "
                 "setup executable was written."};
}

} // namespace

Result<ProductIdentity> read_product_identity(const std::filesystem::path& root) {
    auto document = read_package_json(root);
    if (!document) {
        return document.error();
    }
    ProductIdentity identity;
    if (document->is_object() && document->contains("author")) {
        auto maker = maker_name((*document)["author"]);
        if (!maker || maker->empty()) {
            return unusable_member(root, "author",
                                   "a name (a text, or an object with a \"name\" text)");
        }
        identity.maker = *maker;
    }
    for (const auto& [member, field] :
         {std::pair{"license", &identity.license}, std::pair{"productName", &identity.name},
          std::pair{"description", &identity.description}}) {
        if (document->is_object() && document->contains(member)) {
            const auto& value = (*document)[member];
            if (!value.is_string()) {
                return unusable_member(root, member, "a text");
            }
            *field = value.get<std::string>();
        }
    }
    return identity;
}

} // namespace tarnquill
