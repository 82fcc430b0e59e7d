#include "crash/loaded_modules.h"

#include <elf.h>
#include <link.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <string>

#include "core/no_destructor.h"
#include "crash/elf_symbols.h"

namespace tavrel_mmp {
namespace {

// The linker's counts of loads and unloads, where it gives them.
struct Changes {
  unsigned long long adds = 0;
  unsigned long long subs = 0;
  bool known = false;
};

bool hasChangeCounts(std::size_t size) {
  return size >= offsetof(dl_phdr_info, dlpi_subs) + sizeof(dl_phdr_info::dlpi_subs);
}

int readChanges(dl_phdr_info* info, std::size_t size, void* out) {
  if (hasChangeCounts(size)) {
    *static_cast<Changes*>(out) = {info->dlpi_adds, info->dlpi_subs, true};
  }
  return 1;  // the counts are the same in every entry: one is enough
}

// The GNU build id among the notes of a loaded note segment.
void readBuildId(const ElfW(Phdr) & segment, std::uintptr_t start, ModuleTable::Module& module) {
  const std::string id = ElfSymbols::buildIdInNotes(reinterpret_cast<const char*>(start),
                                                    segment.p_memsz, segment.p_align);
  module.buildIdSize = std::min(id.size(), ModuleTable::kMaximumBuildId);
  std::memcpy(module.buildId, id.data(), module.buildIdSize);
}

std::string executablePath() {
  char path[ModuleTable::kMaximumPath];
  const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path);
  return length > 0 ? std::string(path, static_cast<std::size_t>(length)) : std::string();
}

int readModule(dl_phdr_info* info, std::size_t, void* out) {
  auto& modules = *static_cast<std::vector<ModuleTable::Module>*>(out);
  ModuleTable::Module module;
  module.bias = info->dlpi_addr;
  module.start = UINTPTR_MAX;
  for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& segment = info->dlpi_phdr[i];
    const std::uintptr_t start = info->dlpi_addr + segment.p_vaddr;
    if (segment.p_type == PT_LOAD) {
      module.start = std::min(module.start, start);
      module.end = std::max(module.end, start + segment.p_memsz);
    } else if (segment.p_type == PT_NOTE && module.buildIdSize == 0) {
      readBuildId(segment, start, module);
    }
  }
  if (module.end == 0) return 0;
  // The executable comes first, without a name.
  const std::string path = info->dlpi_name != nullptr && info->dlpi_name[0] != '\0'
                               ? std::string(info->dlpi_name)
                           : modules.empty() ? executablePath()
                                             : std::string();
  std::memcpy(module.path, path.data(), std::min(path.size(), sizeof module.path - 1));
  modules.push_back(module);
  return 0;
}

// What the table was made from, read without the lock on every call.
struct Refresh {
  std::mutex mutex;
  std::atomic<bool> ready{false};
  std::atomic<unsigned long long> adds{0};
  std::atomic<unsigned long long> subs{0};

  // Without the linker's counts the table is made once, at set-up.
  bool current(const Changes& now) const {
    return ready && (!now.known || (now.adds == adds && now.subs == subs));
  }
};
Refresh& refreshState() {
  static NoDestructor<Refresh> state;
  return state.get();
}

}  // namespace

void LoadedModules::refresh() {
  auto& state = refreshState();
  Changes now;
  ::dl_iterate_phdr(&readChanges, &now);
  if (state.current(now)) return;
  std::lock_guard lock(state.mutex);
  if (state.current(now)) return;
  const std::vector<ModuleTable::Module> modules = list();
  // A handler still reads the spare table: the next call tries again.
  if (!ModuleTable::replace(modules.data(), modules.size())) return;
  state.adds = now.adds;
  state.subs = now.subs;
  state.ready = true;
}

std::vector<ModuleTable::Module> LoadedModules::list() {
  std::vector<ModuleTable::Module> modules;
  ::dl_iterate_phdr(&readModule, &modules);
  return modules;
}

}  // namespace tavrel_mmp
