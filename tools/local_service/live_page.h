#pragma once

#include <string_view>

namespace tavrel_mmp::tools {

// The live page: one self-contained HTML document whose script polls "/_live/state" and posts
// fault switches to "/_live/switch".
std::string_view livePageHtml();

}  // namespace tavrel_mmp::tools
