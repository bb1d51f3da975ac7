#include "source_date.h"

#include <string>

namespace tarnquill {
namespace {

bool is_decimal(std::string_view text) {
    if (text.empty()) {
        return false;
    }
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    return true;
}

std::string quoted(std::string_view text) {
    return "\"" + std::string(text) + "\"";
}

} // namespace

Result<std::time_t> parse_source_date_epoch(std::string_view text) {
    if (!is_decimal(text)) {
        return Error{std::string(source_date_variable) + " is " + quoted(text) +
                     ", not a number of seconds since 1970-01-01 00:00:00 UTC in decimal "
                     "digits. Nothing was built."};
    }
    // Past 18 significant digits the value is far out of range, and converting it could overflow.
    const auto significant = text.find_first_not_of('0');
    const auto digits = significant == std::string_view::npos ? "0" : text.substr(significant);
    std::time_t value = 0;
    if (digits.size() <= 18) {
        for (char c : digits) {
            value = value * 10 + (c - '0');
        }
    }
    if (digits.size() > 18 || value < earliest_zip_instant || value > latest_zip_instant) {
        return Error{std::string(source_date_variable) + " " + quoted(text) +
                     " lies outside 1980-01-01 00:00:00 to 2107-12-31 23:59:59 UTC, the times a "
                     "ZIP date can hold. Nothing was built."};
    }
    return value;
}

} // namespace tarnquill
