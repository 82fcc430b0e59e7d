#pragma once

#include <string>

namespace tavrel_mmp {

// Names the frames of a crash text where this process can. A frame written as
// "pc 0x<offset> <module path> (BuildId: <id>)" and not named yet gets " in <function>+0x<n>"
// after it when the module with that build id is loaded now (its symbols, or the dynamic
// linker's) or lies at that path on disk; the rest of the text stays as it is.
class FrameSymbols {
 public:
  static std::string resolve(const std::string& text);
};

}  // namespace tavrel_mmp
