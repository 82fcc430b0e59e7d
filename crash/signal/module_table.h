#pragma once

// Signal context: everything in crash/signal/ may run inside a fatal-signal handler, so it uses
// async-signal-safe calls only: no allocation, no lock, no log.

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tavrel_mmp {

// The modules (the executable, shared objects) loaded in this process, as a crash report names
// the place of a frame: a module's path and build id, and the offset in it. Filled outside signal
// context by `LoadedModules` before any fault; two tables take turns, so that a refresh never
// writes the one a handler reads.
class ModuleTable {
 public:
  static constexpr int kMaximumModules = 512;
  static constexpr std::size_t kMaximumBuildId = 32;
  static constexpr std::size_t kMaximumPath = 192;

  struct Module {
    std::uintptr_t start = 0;  // the lowest and one past the highest address of its segments
    std::uintptr_t end = 0;
    std::uintptr_t bias = 0;  // its load address less its file's addresses
    std::size_t buildIdSize = 0;
    std::uint8_t buildId[kMaximumBuildId] = {};
    char path[kMaximumPath] = {};  // cut off where longer

    std::string_view pathView() const;
  };

  // The module whose segments span `address`; false when none does (or no table is ready).
  static bool find(std::uintptr_t address, Module& found);

  // Outside signal context, one caller at a time: makes `modules` (the first kMaximumModules)
  // the table. False when a handler still reads the spare table: try again later.
  static bool replace(const Module* modules, std::size_t count);
};

}  // namespace tavrel_mmp
