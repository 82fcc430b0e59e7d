// Signal context: everything in crash/signal/ may run inside a fatal-signal handler, so it uses
// async-signal-safe calls only: no allocation, no lock, no log.
#include "crash/signal/signal_report.h"

#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>

#include "crash/signal/module_table.h"
#include "crash/signal/stack_walk.h"

namespace tavrel_mmp {
namespace {

constexpr int kAddressDigits = static_cast<int>(2 * sizeof(std::uintptr_t));

bool isFault(int signal, const siginfo_t* info) {
  const bool faultSignal =
      signal == SIGSEGV || signal == SIGBUS || signal == SIGILL || signal == SIGFPE;
  return faultSignal && info != nullptr && info->si_code > 0;
}

void appendOrigin(FixedText& out, int signal, const siginfo_t* info) {
  if (info == nullptr) return;
  if (isFault(signal, info)) {
    out.text("\nFault address: 0x")
        .hex(reinterpret_cast<std::uintptr_t>(info->si_addr))
        .text(" (code ")
        .decimal(info->si_code)
        .character(')');
  } else if (info->si_code <= 0 && info->si_pid == ::getpid()) {
    out.text("\nRaised by this process");
  } else if (info->si_code <= 0) {
    out.text("\nSent by process ").decimal(info->si_pid);
  }
}

void appendThread(FixedText& out) {
  char name[17] = {};
  ::prctl(PR_GET_NAME, name, 0, 0, 0);
  out.text("\nThread: ").decimal(::syscall(SYS_gettid));
  if (name[0] != '\0')
    out.text(" \"").text(std::string_view(name, strnlen(name, 16))).character('"');
}

}  // namespace

void SignalReport::appendFirstLine(FixedText& out, int signal) {
  out.text("Signal ").decimal(signal).text(" caught");
}

void SignalReport::compose(FixedText& out, int signal, const siginfo_t* info, const void* context) {
  appendFirstLine(out, signal);
  appendOrigin(out, signal, info);
  appendThread(out);
  std::uintptr_t frames[StackWalk::kMaximumFrames];
  const int count = StackWalk::fromSignal(context, frames, StackWalk::kMaximumFrames);
  for (int i = 0; i < count; ++i) {
    out.text("\n#").decimal(i).character(' ');
    appendFrame(out, frames[i]);
  }
}

void SignalReport::appendFrame(FixedText& out, std::uintptr_t address) {
  ModuleTable::Module module;
  if (!ModuleTable::find(address, module)) {
    out.text("pc 0x").hex(address, kAddressDigits).text(" <unknown>");
    return;
  }
  out.text("pc 0x").hex(address - module.bias, kAddressDigits).character(' ');
  out.text(module.pathView().empty() ? std::string_view("<anonymous>") : module.pathView());
  if (module.buildIdSize == 0) return;
  out.text(" (BuildId: ");
  for (std::size_t i = 0; i < module.buildIdSize; ++i) out.hex(module.buildId[i], 2);
  out.character(')');
}

}  // namespace tavrel_mmp
