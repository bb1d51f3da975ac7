// SOURCE_DATE_EPOCH, the reproducible-builds convention: the instant (seconds since
// 1970-01-01 00:00:00 UTC) that stands for "when the sources last changed". Under it no payload
// member is dated later than that instant, and member times are written in UTC, so the same
// commit gives the same bytes whenever and wherever it is built.
#pragma once

#include <ctime>
#include <string_view>

#include "result.h"

namespace tarnquill {

inline constexpr std::string_view source_date_variable = "SOURCE_DATE_EPOCH";

// The instants a ZIP date can hold: 1980-01-01 00:00:00 to 2107-12-31 23:59:59 UTC.
inline constexpr std::time_t earliest_zip_instant = 315532800;
inline constexpr std::time_t latest_zip_instant = 4354819199;

// Accepts ASCII decimal digits only (no sign, no spaces) naming an instant a ZIP date can hold.
Result<std::time_t> parse_source_date_epoch(std::string_view text);

} // namespace tarnquill
