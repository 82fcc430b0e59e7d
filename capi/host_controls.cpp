// Flush and the log sink, apart from the other entry points: they forward to the facade's.
#include <chrono>
#include <string>

#include "capi/c_arguments.h"
#include "tavrel_mmp/nimbrel.h"
#include "tavrel_mmp/tavrel_mmp_c.h"

using tavrel_mmp::Nimbrel;
using tavrel_mmp::capi::atBoundary;
using tavrel_mmp::capi::CallSite;

int tavrel_mmp_flush(int timeout_ms) {
  bool accepted = false;
  atBoundary(CallSite{__func__}, [&] {
    accepted = Nimbrel::flush(std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms));
  });
  return accepted ? 1 : 0;
}

void tavrel_mmp_set_log_sink(tavrel_mmp_log_sink sink, void* user) {
  atBoundary(CallSite{__func__}, [&] {
    if (sink == nullptr) return Nimbrel::setLogSink(nullptr);
    Nimbrel::setLogSink(
        [sink, user](int level, const std::string& line) { sink(level, line.c_str(), user); });
  });
}
