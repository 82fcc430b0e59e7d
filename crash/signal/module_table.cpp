// Signal context: everything in crash/signal/ may run inside a fatal-signal handler, so it uses
// async-signal-safe calls only: no allocation, no lock, no log.
#include "crash/signal/module_table.h"

#include <atomic>
#include <cstring>

namespace tavrel_mmp {
namespace {

struct Table {
  std::atomic<int> readers{0};
  std::size_t count = 0;
  ModuleTable::Module modules[ModuleTable::kMaximumModules];
};
Table tables[2];
// The table handlers read; -1 before the first is ready.
std::atomic<int> current{-1};

// The current table, counted as read until `done`; -1 when there is none.
int startReading() {
  for (;;) {
    const int index = current.load();
    if (index < 0) return -1;
    tables[index].readers.fetch_add(1);
    // Still current: a refresh will not write it until we are done.
    if (current.load() == index) return index;
    tables[index].readers.fetch_sub(1);
  }
}

}  // namespace

std::string_view ModuleTable::Module::pathView() const {
  return {path, strnlen(path, sizeof path)};
}

bool ModuleTable::find(std::uintptr_t address, Module& found) {
  const int index = startReading();
  if (index < 0) return false;
  const Table& table = tables[index];
  bool any = false;
  for (std::size_t i = 0; i < table.count && !any; ++i) {
    const Module& module = table.modules[i];
    if (address >= module.start && address < module.end) {
      found = module;
      any = true;
    }
  }
  tables[index].readers.fetch_sub(1);
  return any;
}

bool ModuleTable::replace(const Module* modules, std::size_t count) {
  const int spare = current.load() == 0 ? 1 : 0;
  Table& table = tables[spare];
  if (table.readers.load() != 0) return false;
  table.count = count < kMaximumModules ? count : kMaximumModules;
  std::memcpy(table.modules, modules, table.count * sizeof(Module));
  current.store(spare);
  return true;
}

}  // namespace tavrel_mmp
