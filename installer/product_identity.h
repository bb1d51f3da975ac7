// Who makes TARNQUILL and under which licence, as package.json states them: the bill of
// materials names the maker as the product's supplier and as its own author.
#pragma once

#include <filesystem>
#include <string>

#include "result.h"

namespace tarnquill {

struct ProductIdentity {
    std::string maker;   // the name in "author"; empty when package.json names no author
    std::string license; // "license" as written; empty when package.json states none
};

// The maker's name from package.json's "author" (a text "Name <email> (url)", whose name is
// taken, or an object with a "name" text) and its "license" text. A member that is absent stays
// empty; one of another shape fails, naming the file and the member.
Result<ProductIdentity> read_product_identity(const std::filesystem::path& root);

} // namespace tarnquill
