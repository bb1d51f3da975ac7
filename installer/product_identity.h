// Who makes TARNQUILL, under which licence, and what it is called and how it is described, as
// package.json states them: the bill of materials names the maker as the product's supplier and
// as its own author; the package manager manifest lists all four.
#pragma once

#include <filesystem>
#include <string>

#include "result.h"

namespace tarnquill {

struct ProductIdentity {
    std::string maker;       // the name in "author"; empty when package.json names no author
    std::string license;     // "license" as written; empty when package.json states none
    std::string name;        // "productName"; empty when absent
    std::string description; // "description"; empty when absent
};

// The maker's name from package.json's "author" (a text "Name <email> (url)", whose name is
// taken, or an object with a "name" text), and its "license", "productName" and "description"
// texts. A member that is absent stays empty; one of another shape fails, naming the file and the
// member.
Result<ProductIdentity> read_product_identity(const std::filesystem::path& root);

} // namespace tarnquill
