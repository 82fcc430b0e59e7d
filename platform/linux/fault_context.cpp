#include "platform/fault_context.h"

#include <ucontext.h>

#include <cstddef>

namespace tavrel_mmp::platform {
namespace {

// FNV-1a over whole words; never 0, which stands for "not known".
class Digest {
 public:
  void add(std::uint64_t word) {
    for (int i = 0; i < 8; ++i) {
      value_ ^= (word >> (8 * i)) & 0xff;
      value_ *= 0x100000001b3ULL;
    }
  }
  std::uint64_t value() const { return value_ == 0 ? 1 : value_; }

 private:
  std::uint64_t value_ = 0xcbf29ce484222325ULL;
};

}  // namespace

std::uint64_t faultRegisterDigest(const void* context) {
  if (context == nullptr) return 0;
  const auto* uc = static_cast<const ucontext_t*>(context);
  Digest digest;
#if defined(__x86_64__)
  // R8 ... RIP: the flags, segment and trap words that follow may differ between two faults of
  // one instruction.
  for (int i = REG_R8; i <= REG_RIP; ++i)
    digest.add(static_cast<std::uint64_t>(uc->uc_mcontext.gregs[i]));
#elif defined(__aarch64__)
  for (std::size_t i = 0; i < 31; ++i) digest.add(uc->uc_mcontext.regs[i]);
  digest.add(uc->uc_mcontext.sp);
  digest.add(uc->uc_mcontext.pc);
#else
  (void)uc;
  return 0;
#endif
  return digest.value();
}

}  // namespace tavrel_mmp::platform
