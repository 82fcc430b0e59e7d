#pragma once

#include <vector>

#include "crash/signal/module_table.h"

namespace tavrel_mmp {

// The modules loaded in this process as the dynamic linker lists them (dl_iterate_phdr), each
// with its build id from its note segment, kept in `ModuleTable` for the fault handlers.
class LoadedModules {
 public:
  // Reads the modules into the table again when the linker has loaded or unloaded any since the
  // last read; cheap otherwise. Crash capture's set-up and every call into the library do it, so
  // that a module loaded later is in the table by the time it runs much.
  static void refresh();
  // The modules loaded now.
  static std::vector<ModuleTable::Module> list();
};

}  // namespace tavrel_mmp
