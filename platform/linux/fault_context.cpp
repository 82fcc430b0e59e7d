#include "platform/fault_context.h"

#include <ucontext.h>

#include <cstddef>
#include <initializer_list>

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
#elif defined(__arm__)
  const auto& m = uc->uc_mcontext;
  for (const unsigned long word :
       {m.arm_r0, m.arm_r1, m.arm_r2, m.arm_r3, m.arm_r4, m.arm_r5, m.arm_r6, m.arm_r7, m.arm_r8,
        m.arm_r9, m.arm_r10, m.arm_fp, m.arm_ip, m.arm_sp, m.arm_lr, m.arm_pc}) {
    digest.add(word);
  }
#else
  (void)uc;
  return 0;
#endif
  return digest.value();
}

std::uintptr_t interruptedInstruction(const void* context) {
  if (context == nullptr) return 0;
  const auto* uc = static_cast<const ucontext_t*>(context);
#if defined(__x86_64__)
  return static_cast<std::uintptr_t>(uc->uc_mcontext.gregs[REG_RIP]);
#elif defined(__i386__)
  return static_cast<std::uintptr_t>(uc->uc_mcontext.gregs[REG_EIP]);
#elif defined(__aarch64__)
  return static_cast<std::uintptr_t>(uc->uc_mcontext.pc);
#elif defined(__arm__)
  return static_cast<std::uintptr_t>(uc->uc_mcontext.arm_pc);
#else
  (void)uc;
  return 0;
#endif
}

}  // namespace tavrel_mmp::platform
