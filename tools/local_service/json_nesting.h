#pragma once

#include <cstddef>
#include <string_view>

#include <nlohmann/json.hpp>

namespace tavrel_mmp::tools {

// How deeply a request body may nest. Copying and dumping a parsed value recurse once per
// level, so a body nested a hundred thousand levels deep would overflow the handler's stack.
inline constexpr std::size_t kMaxBodyNesting = 512;

// Whether the JSON text opens more than `limit` arrays or objects inside one another. A single
// pass without recursion; brackets inside strings (escapes included) do not count. The text
// need not be valid JSON: the parser judges that afterwards.
bool nestsDeeperThan(std::string_view text, std::size_t limit = kMaxBodyNesting);

// The text parsed as JSON; null when it is not JSON or nests deeper than kMaxBodyNesting.
nlohmann::json parseBodyOrNull(std::string_view text);

}  // namespace tavrel_mmp::tools
