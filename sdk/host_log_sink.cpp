#include "sdk/host_log_sink.h"

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <utility>

#include "core/logger.h"
#include "platform/library_thread.h"
#include "platform/per_process.h"

namespace tavrel_mmp {
namespace {

// Lines waiting beyond this are dropped, oldest first, and counted.
constexpr std::size_t kMaxWaitingLines = 10'000;

struct Line {
  LogLevel level;
  std::string text;
};

struct Delivery {
  std::mutex mutex;
  std::condition_variable waiting;
  std::shared_ptr<const HostLogSink::Sink> sink;
  std::deque<Line> lines;
  std::size_t dropped = 0;
  bool threadStarted = false;
};

// The sink stays the host's in a forked child; the queue and its thread are each process's own.
platform::PerProcess<Delivery>& delivery() {
  static auto* held = new platform::PerProcess<Delivery>(
      &Delivery::mutex,
      [](Delivery& made, const Delivery& inherited) { made.sink = inherited.sink; });
  return *held;
}

thread_local bool insideSink = false;

void deliverLine(const HostLogSink::Sink& sink, const Line& line) {
  insideSink = true;
  try {
    sink(static_cast<int>(line.level), line.text);
  } catch (...) {
    // The host's sink failing is not the library's to report: it would report it to that sink.
  }
  insideSink = false;
}

void deliverForever(std::shared_ptr<Delivery> state) {
  std::unique_lock<std::mutex> lock(state->mutex);
  for (;;) {
    state->waiting.wait(lock, [&] { return !state->lines.empty(); });
    std::deque<Line> lines = std::move(state->lines);
    state->lines.clear();
    const std::size_t dropped = std::exchange(state->dropped, 0);
    const auto sink = state->sink;
    lock.unlock();
    if (sink) {
      if (dropped > 0) {
        deliverLine(*sink,
                    {LogLevel::warning, "MMP: " + std::to_string(dropped) +
                                            " lines were dropped: the log sink fell behind"});
      }
      for (const Line& line : lines) deliverLine(*sink, line);
    }
    lock.lock();
  }
}

void queueLine(LogLevel level, std::string text) {
  if (insideSink) return;  // the sink's own calls into the library: never an endless echo
  const auto state = delivery().share();
  bool startThread = false;
  {
    std::lock_guard<std::mutex> lock(state->mutex);
    if (!state->sink) return;
    if (state->lines.size() == kMaxWaitingLines) {
      state->lines.pop_front();
      ++state->dropped;
    }
    state->lines.push_back({level, std::move(text)});
    startThread = !std::exchange(state->threadStarted, true);
  }
  // Started outside the lock: starting a thread may log, and that line comes back here.
  if (startThread && !platform::startLibraryThread([state] { deliverForever(state); })) {
    std::lock_guard<std::mutex> lock(state->mutex);
    state->threadStarted = false;  // the next line tries again
  }
  state->waiting.notify_one();
}

}  // namespace

void HostLogSink::set(Sink sink) {
  const bool installed = static_cast<bool>(sink);
  if (!installed) Logger::setConsumer(nullptr);  // standard output from this line on
  auto& state = delivery().get();
  {
    std::lock_guard<std::mutex> lock(state.mutex);
    state.sink = installed ? std::make_shared<const Sink>(std::move(sink)) : nullptr;
  }
  if (installed) Logger::setConsumer(&queueLine);
}

}  // namespace tavrel_mmp
