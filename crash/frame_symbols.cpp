#include "crash/frame_symbols.h"

#include <cxxabi.h>
#include <dlfcn.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <string_view>
#include <vector>

#include "crash/elf_symbols.h"
#include "crash/loaded_modules.h"

namespace tavrel_mmp {
namespace {

constexpr std::string_view kPc = "pc 0x";
constexpr std::string_view kBuildId = " (BuildId: ";
constexpr std::string_view kNamed = " in ";

struct Frame {
  std::size_t end;  // just after the frame's closing parenthesis
  std::uint64_t offset;
  bool returnAddress;  // a caller's frame: the call is the instruction before
  std::string path;
  std::string buildId;
};

std::optional<std::uint64_t> hexNumber(std::string_view digits) {
  if (digits.empty() || digits.size() > 16) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : digits) {
    const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    if (digit < 0) return std::nullopt;
    value = value * 16 + static_cast<unsigned>(digit);
  }
  return value;
}

// The frame whose "pc 0x" starts at `at`, when it is complete and not named yet.
std::optional<Frame> frameAt(std::string_view text, std::size_t at) {
  const std::size_t digits = at + kPc.size();
  const std::size_t space = text.find(' ', digits);
  const std::size_t idAt = text.find(kBuildId, digits);
  if (space == std::string_view::npos || idAt == std::string_view::npos || idAt <= space) {
    return std::nullopt;
  }
  const std::size_t close = text.find(')', idAt);
  const auto offset = hexNumber(text.substr(digits, space - digits));
  const std::string_view path = text.substr(space + 1, idAt - space - 1);
  if (!offset || close == std::string_view::npos || path.empty() ||
      path.find_first_of("\n\"") != std::string_view::npos) {
    return std::nullopt;
  }
  const std::string_view id = text.substr(idAt + kBuildId.size(), close - idAt - kBuildId.size());
  if (id.empty() || id.size() % 2 != 0 || !hexNumber(id.substr(0, 16)) ||
      text.substr(close + 1, kNamed.size()) == kNamed) {
    return std::nullopt;
  }
  // "#0 pc": the interrupted instruction itself; a higher index, a return address.
  const bool first = at >= 3 && text.substr(at - 3, 3) == "#0 " &&
                     (at == 3 || text[at - 4] == '\n' || text[at - 4] == '"');
  return Frame{close + 1, *offset, !first, std::string(path), std::string(id)};
}

std::string demangled(const std::string& name) {
  int status = 0;
  char* readable = abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status);
  if (status != 0 || readable == nullptr) return name;
  std::string out(readable);
  std::free(readable);
  return out;
}

// Where one module's symbols come from: the module loaded now with the same build id, or the
// file at the recorded path when its build id is the same.
class ModuleSymbols {
 public:
  ModuleSymbols(const std::string& buildId, const std::string& recordedPath,
                const std::vector<ModuleTable::Module>& loaded) {
    for (const auto& module : loaded) {
      const std::string_view id(reinterpret_cast<const char*>(module.buildId), module.buildIdSize);
      if (ElfSymbols::hex(id) != buildId) continue;
      bias_ = module.bias;
      loaded_ = true;
      elf_ = ElfSymbols::read(std::string(module.pathView()));
      break;
    }
    if (!elf_) elf_ = ElfSymbols::read(recordedPath);
    if (elf_ && elf_->buildId() != buildId) elf_.reset();
  }

  // The function of the frame at `offset`; a return address is looked up at the call before it.
  std::optional<std::string> nameAt(std::uint64_t offset, bool returnAddress) const {
    const std::uint64_t call = offset - (returnAddress && offset > 0 ? 1 : 0);
    if (elf_) {
      if (const auto function = elf_->functionAt(call)) {
        return withOffset(demangled(function->name), offset - function->start);
      }
    }
    Dl_info info{};
    if (loaded_ && ::dladdr(reinterpret_cast<void*>(bias_ + call), &info) != 0 &&
        info.dli_sname != nullptr && info.dli_saddr != nullptr) {
      return withOffset(demangled(info.dli_sname),
                        bias_ + offset - reinterpret_cast<std::uintptr_t>(info.dli_saddr));
    }
    return std::nullopt;
  }

 private:
  static std::string withOffset(const std::string& name, std::uint64_t offset) {
    char hex[24];
    std::snprintf(hex, sizeof hex, "+0x%llx", static_cast<unsigned long long>(offset));
    return name + hex;
  }

  std::optional<ElfSymbols> elf_;
  bool loaded_ = false;
  std::uintptr_t bias_ = 0;
};

}  // namespace

std::string FrameSymbols::resolve(const std::string& text) {
  std::vector<Frame> frames;
  for (std::size_t at = text.find(kPc); at != std::string::npos; at = text.find(kPc, at + 1)) {
    if (auto frame = frameAt(text, at)) frames.push_back(std::move(*frame));
  }
  if (frames.empty()) return text;

  const std::vector<ModuleTable::Module> loaded = LoadedModules::list();
  std::map<std::string, ModuleSymbols> modules;  // by build id
  std::string out;
  std::size_t copied = 0;
  for (const Frame& frame : frames) {
    auto module = modules.find(frame.buildId);
    if (module == modules.end()) {
      module = modules.try_emplace(frame.buildId, frame.buildId, frame.path, loaded).first;
    }
    const auto name = module->second.nameAt(frame.offset, frame.returnAddress);
    if (!name) continue;
    out.append(text, copied, frame.end - copied).append(kNamed).append(*name);
    copied = frame.end;
  }
  out.append(text, copied, std::string::npos);
  return out;
}

}  // namespace tavrel_mmp
