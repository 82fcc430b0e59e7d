#pragma once

#include <string_view>

namespace tavrel_mmp::tools {

// The live page: one self-contained HTML document (live_page.cpp: its markup and style;
// live_page_script.cpp: its script) that polls the endpoints under "/_live/" and posts fault
// switches and the clearing of what was received.
std::string_view livePageHtml();

// The page's script, without its <script> tags.
std::string_view livePageScript();

}  // namespace tavrel_mmp::tools
