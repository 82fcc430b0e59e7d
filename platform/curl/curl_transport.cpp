// The Linux HTTP transport: one library thread drives a libcurl multi handle.

#include <curl/curl.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/curl/send_once.h"
#include "platform/fork_pass.h"
#include "platform/library_thread.h"
#include "platform/per_process.h"
#include "tavrel_mmp/platform/curl_transport.h"
#include "tavrel_mmp/platform/http_transport.h"

namespace tavrel_mmp::platform {

namespace {

// Browser-like; also keeps a small thread-per-connection server from starving on idle
// keep-alive connections. Transfers beyond it wait inside curl for a free connection.
constexpr long kMaxConnectionsPerHost = 6;
// curl_multi_poll returns earlier for socket activity, curl's own timers and wake-ups.
constexpr int kBusyPollMs = 1000;
constexpr int kIdlePollMs = 60 * 1000;
// A multi handle made while descriptors ran out has no wake-up channel for good; its worker
// looks at the queue this often instead.
constexpr int kUnwakeablePollMs = 100;
constexpr double kDefaultTimeoutSeconds = 60.0;
constexpr double kDefaultConnectTimeoutSeconds = 15.0;

long toMilliseconds(double seconds, double fallback) {
  if (!std::isfinite(seconds) || seconds <= 0.0) seconds = fallback;
  // 0 would mean "no limit" to curl; never round a short limit down to it.
  return static_cast<long>(std::clamp(std::ceil(seconds * 1000.0), 1.0, 2147483647.0));
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; };
           return lower(x) == lower(y);
         });
}

// A line break would let a header smuggle further header lines into the request, and a NUL
// would silently cut the value short.
bool hasForbiddenCharacter(std::string_view text) {
  return text.find_first_of(std::string_view("\r\n\0", 3)) != text.npos;
}

HttpError curlError(CURLcode code, std::string_view detail) {
  std::string description = curl_easy_strerror(code);
  if (!detail.empty()) description.append(": ").append(detail);
  return HttpError{"curl", static_cast<long>(code), std::move(description)};
}

void complete(HttpCompletion& completion, std::optional<std::vector<std::uint8_t>> body,
              std::optional<HttpError> error) {
  if (!completion) return;
  // A throwing completion must not take the worker, and every later request, down with it.
  try {
    completion(std::move(body), std::move(error));
  } catch (...) {
  }
}

struct Pending {
  HttpRequest request;
  HttpCompletion completion;
};

// A transfer that ended, completed once the worker is out of libcurl.
struct Finished {
  HttpCompletion completion;
  std::optional<std::vector<std::uint8_t>> body;
  std::optional<HttpError> error;
};
using FinishedList = std::vector<Finished>;

struct Transfer {
  CURL* easy = nullptr;
  curl_slist* headers = nullptr;
  HttpRequest request;  // owns the body curl sends from
  HttpCompletion completion;
  SendOnce sendOnce;
  std::vector<std::uint8_t> body;
  std::size_t maxBytes = 0;
  bool tooLarge = false;
  char errorBuffer[CURL_ERROR_SIZE] = {};

  explicit Transfer(ConnectionSockets& sockets) : sendOnce(sockets) {}
  Transfer(const Transfer&) = delete;
  Transfer& operator=(const Transfer&) = delete;
  ~Transfer() {
    if (easy != nullptr) curl_easy_cleanup(easy);
    curl_slist_free_all(headers);
  }
};

std::size_t writeBody(char* data, std::size_t size, std::size_t count, void* user) {
  auto* transfer = static_cast<Transfer*>(user);
  const std::size_t n = size * count;
  // Abort as soon as the cap is crossed rather than holding an oversized answer in memory.
  if (n > transfer->maxBytes - transfer->body.size()) {
    transfer->tooLarge = true;
    return 0;
  }
  // No exception may unwind through libcurl's C frames.
  try {
    transfer->body.insert(transfer->body.end(), data, data + n);
  } catch (...) {
    transfer->tooLarge = true;
    return 0;
  }
  return n;
}

// Everything the worker thread touches, shared by the transport and the running thread: a host
// can exit with transfers in flight, so no static destructor may pull it away, and a destroyed
// transport leaves it to its thread, which finishes what was sent and lets it go. One per
// process: a forked child starts its own, and the parent's queue and transfers stay the parent's.
class Worker : public std::enable_shared_from_this<Worker> {
 public:
  explicit Worker(CurlTransportOptions options) : options_(std::move(options)) {}
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  void enqueue(HttpRequest request, HttpCompletion completion) {
    Pending pending{std::move(request), std::move(completion)};
    {
      std::lock_guard<std::mutex> lock(mutex_);
      // Started lazily so that a process that never sends starts no thread.
      if (!threadRunning_) {
        threadRunning_ = startLibraryThread([self = shared_from_this()] { self->run(); });
      }
      if (threadRunning_) {
        queue_.push_back(std::move(pending));
        // The worker may still be creating its multi handle; it drains the queue right after.
        if (multi_ != nullptr) curl_multi_wakeup(multi_);
        return;
      }
    }
    failWithoutThread(std::move(pending));
  }

  // The transport is gone: the thread, if one runs, stops once what was sent has completed.
  void release() {
    std::lock_guard<std::mutex> lock(mutex_);
    released_ = true;
    if (multi_ != nullptr) curl_multi_wakeup(multi_);
  }

 private:
  void run() {
    // Closes the pooled connections' sockets during curl_multi_cleanup, so it outlives it.
    ConnectionSockets sockets;
    CURLM* multi = nullptr;
    bool wakeable = false;
    {
      const ForkPass pass;
      multi = curl_multi_init();
      if (multi != nullptr) {
        curl_multi_setopt(multi, CURLMOPT_MAX_HOST_CONNECTIONS, kMaxConnectionsPerHost);
        // curl makes a multi handle without its wake-up channel when descriptors run out, and
        // never makes one later. Such a worker polls the queue, and stops once idle so that the
        // next send starts a worker with a fresh handle. (A successful probe only costs one early
        // wake-up.)
        wakeable = curl_multi_wakeup(multi) == CURLM_OK;
      }
    }
    if (multi == nullptr) {
      stopWithoutMulti();
      return;
    }
    bool released = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      multi_ = multi;
    }
    for (;;) {
      std::deque<Pending> incoming;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        incoming.swap(queue_);
        released = released_;
        if (incoming.empty() && active_ == 0 && (released || !wakeable)) {
          // Cleared under the lock so no late wake-up can reach a handle being cleaned up.
          multi_ = nullptr;
          threadRunning_ = false;
          break;
        }
      }
      // No lock is held from here on: completions may call send (re-entrantly) and take time.
      // They run once the worker is out of libcurl, which a fork must not copy mid-call.
      FinishedList finished;
      {
        const ForkPass pass;
        for (Pending& pending : incoming) begin(multi, sockets, std::move(pending), finished);
        int stillRunning = 0;
        curl_multi_perform(multi, &stillRunning);
        collect(multi, finished);
      }
      for (Finished& done : finished) {
        complete(done.completion, std::move(done.body), std::move(done.error));
      }
      // Drained after the release: go back and stop rather than wait for a wake-up already used.
      if (released && active_ == 0) continue;
      const int pollMs = !wakeable ? kUnwakeablePollMs : active_ > 0 ? kBusyPollMs : kIdlePollMs;
      curl_multi_poll(multi, nullptr, 0, pollMs, nullptr);
    }
    // Once threadRunning_ is false, a send may start the next worker thread at once: only
    // locals from here on. This thread's share of the worker goes with it.
    const ForkPass pass;
    curl_multi_cleanup(multi);
  }

  // Only when curl cannot make a multi handle (out of memory): fail what is queued and let the
  // next send start a fresh worker.
  void stopWithoutMulti() {
    std::deque<Pending> failed;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      failed.swap(queue_);
      threadRunning_ = false;
    }
    for (Pending& pending : failed) {
      complete(pending.completion, std::nullopt, curlError(CURLE_OUT_OF_MEMORY, ""));
    }
  }

  void begin(CURLM* multi, ConnectionSockets& sockets, Pending pending, FinishedList& finished) {
    auto transfer = std::make_unique<Transfer>(sockets);
    transfer->request = std::move(pending.request);
    transfer->completion = std::move(pending.completion);
    transfer->maxBytes = options_.maxResponseBytes;
    transfer->sendOnce.setStillWanted(std::move(transfer->request.stillWanted));
    if (std::optional<HttpError> problem = configure(*transfer)) {
      finished.push_back({std::move(transfer->completion), std::nullopt, std::move(problem)});
      return;
    }
    if (curl_multi_add_handle(multi, transfer->easy) != CURLM_OK) {
      finished.push_back({std::move(transfer->completion), std::nullopt,
                          curlError(CURLE_FAILED_INIT, "the transfer could not be started")});
      return;
    }
    transfer.release();  // owned by the multi handle until collected
    ++active_;
  }

  std::optional<HttpError> configure(Transfer& transfer) {
    const HttpRequest& request = transfer.request;
    bool hasContentType = false;
    bool hasExpect = false;
    for (const auto& [name, value] : request.headers) {
      if (name.empty() || hasForbiddenCharacter(name) || hasForbiddenCharacter(value) ||
          name.find(':') != std::string::npos) {
        return curlError(CURLE_BAD_FUNCTION_ARGUMENT, "malformed header \"" + name + "\"");
      }
      hasContentType = hasContentType || equalsIgnoringCase(name, "Content-Type");
      hasExpect = hasExpect || equalsIgnoringCase(name, "Expect");
    }

    transfer.easy = curl_easy_init();
    if (transfer.easy == nullptr) return curlError(CURLE_OUT_OF_MEMORY, "");
    CURL* easy = transfer.easy;

    std::vector<std::string> lines;
    for (const auto& [name, value] : request.headers) {
      // "Name:" would tell curl to drop the header; "Name;" sends it with an empty value.
      lines.push_back(value.empty() ? name + ";" : name + ": " + value);
    }
    // A POST body otherwise gets an implicit form Content-Type, and large ones an
    // "Expect: 100-continue" round trip; send only what the request carries.
    if (!hasContentType) lines.emplace_back("Content-Type:");
    if (!hasExpect) lines.emplace_back("Expect:");
    for (const std::string& line : lines) {
      curl_slist* appended = curl_slist_append(transfer.headers, line.c_str());
      if (appended == nullptr) return curlError(CURLE_OUT_OF_MEMORY, "");
      transfer.headers = appended;
    }

    CURLcode rc = CURLE_OK;
    auto set = [&](CURLoption option, auto value) {
      if (rc == CURLE_OK) rc = curl_easy_setopt(easy, option, value);
    };
    set(CURLOPT_PRIVATE, static_cast<void*>(&transfer));
    if (rc == CURLE_OK) rc = transfer.sendOnce.install(easy);
    set(CURLOPT_ERRORBUFFER, transfer.errorBuffer);
    set(CURLOPT_NOSIGNAL, 1L);
    set(CURLOPT_URL, request.url.c_str());
    set(CURLOPT_PROTOCOLS_STR, "http,https");
    set(CURLOPT_FOLLOWLOCATION, 0L);
    set(CURLOPT_SSL_VERIFYPEER, 1L);
    set(CURLOPT_SSL_VERIFYHOST, 2L);
    if (options_.caInfoPath) set(CURLOPT_CAINFO, options_.caInfoPath->c_str());
    set(CURLOPT_CONNECTTIMEOUT_MS,
        toMilliseconds(options_.connectTimeoutSeconds, kDefaultConnectTimeoutSeconds));
    long timeoutMs = toMilliseconds(request.timeoutSeconds, kDefaultTimeoutSeconds);
    if (options_.maxRequestTimeoutSeconds) {
      timeoutMs = std::min(
          timeoutMs, toMilliseconds(*options_.maxRequestTimeoutSeconds, kDefaultTimeoutSeconds));
    }
    set(CURLOPT_TIMEOUT_MS, timeoutMs);
    set(CURLOPT_HTTPHEADER, transfer.headers);
    set(CURLOPT_WRITEFUNCTION, &writeBody);
    set(CURLOPT_WRITEDATA, static_cast<void*>(&transfer));
    if (options_.maxResponseBytes > 0) {
      // Refuses an announced oversized answer before reading it; 0 would mean "no limit".
      const auto cap =
          static_cast<curl_off_t>(std::min<std::uint64_t>(options_.maxResponseBytes, INT64_MAX));
      set(CURLOPT_MAXFILESIZE_LARGE, cap);
    }

    if (request.method == "GET" && !request.body) {
      set(CURLOPT_HTTPGET, 1L);
    } else {
      // POST (the default, also for an empty method) sends an empty body when there is none.
      static const char kEmpty[] = "";
      const std::string* body = request.body ? &*request.body : nullptr;
      set(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body != nullptr ? body->size() : 0));
      set(CURLOPT_POSTFIELDS, body != nullptr ? body->data() : kEmpty);
      if (!request.method.empty() && request.method != "POST") {
        set(CURLOPT_CUSTOMREQUEST, request.method.c_str());
      }
    }
    if (rc != CURLE_OK) return curlError(rc, "");
    return std::nullopt;
  }

  void collect(CURLM* multi, FinishedList& finished) {
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
      if (message->msg != CURLMSG_DONE) continue;
      // The message is invalid once its handle is removed; read it first.
      CURL* easy = message->easy_handle;
      const CURLcode code = message->data.result;
      void* privateData = nullptr;
      curl_easy_getinfo(easy, CURLINFO_PRIVATE, &privateData);
      curl_multi_remove_handle(multi, easy);
      std::unique_ptr<Transfer> transfer(static_cast<Transfer*>(privateData));
      if (transfer->sendOnce.foundStaleConnection()) {
        // Nothing was sent: start it again, on a fresh connection.
        if (transfer->sendOnce.rearmOnFreshConnection() == CURLE_OK &&
            curl_multi_add_handle(multi, easy) == CURLM_OK) {
          transfer.release();
          continue;
        }
        --active_;
        finish(finished, *transfer, std::nullopt,
               curlError(CURLE_FAILED_INIT, "the transfer could not be started again"));
        continue;
      }
      --active_;
      if (transfer->sendOnce.withdrawn()) {
        finish(finished, *transfer, std::nullopt,
               curlError(CURLE_ABORTED_BY_CALLBACK, "the request was withdrawn before it left"));
      } else if (transfer->sendOnce.refusedResend()) {
        // The same error a fresh connection that closes without an answer gives.
        finish(finished, *transfer, std::nullopt,
               curlError(CURLE_GOT_NOTHING,
                         "the connection ended before an answer; the request is not sent again"));
      } else if (code == CURLE_OK && options_.maxResponseBytes == 0) {
        // A cap of zero refuses every answer, the empty one included.
        finish(finished, *transfer, std::nullopt,
               curlError(CURLE_FILESIZE_EXCEEDED, "responses are refused (cap of 0 bytes)"));
      } else if (code == CURLE_OK) {
        finish(finished, *transfer, std::move(transfer->body), std::nullopt);
      } else if (transfer->tooLarge) {
        finish(finished, *transfer, std::nullopt,
               curlError(code, "response body larger than " + std::to_string(transfer->maxBytes) +
                                   " bytes"));
      } else {
        finish(finished, *transfer, std::nullopt, curlError(code, transfer->errorBuffer));
      }
    }
  }

  static void finish(FinishedList& finished, Transfer& transfer,
                     std::optional<std::vector<std::uint8_t>> body,
                     std::optional<HttpError> error) {
    finished.push_back({std::move(transfer.completion), std::move(body), std::move(error)});
  }

  // No thread to run the transfer or its completion on: fail it on the caller's thread rather
  // than leave it without a completion; the next send asks for a thread again. Sends made from
  // these completions are failed by the outermost call, one after another, instead of nesting.
  static void failWithoutThread(Pending pending) {
    thread_local std::deque<Pending>* failing = nullptr;
    if (failing != nullptr) {
      failing->push_back(std::move(pending));
      return;
    }
    std::deque<Pending> queue;
    queue.push_back(std::move(pending));
    failing = &queue;
    while (!queue.empty()) {
      Pending next = std::move(queue.front());
      queue.pop_front();
      complete(next.completion, std::nullopt,
               curlError(CURLE_FAILED_INIT, "the system refused a thread for the transfer"));
    }
    failing = nullptr;
  }

  const CurlTransportOptions options_;
  std::mutex mutex_;
  // Guarded by mutex_.
  std::deque<Pending> queue_;
  CURLM* multi_ = nullptr;  // set while the worker's multi handle exists, for wake-ups
  bool threadRunning_ = false;
  bool released_ = false;
  // Worker thread only.
  std::size_t active_ = 0;
};

class CurlTransport final : public HttpTransport {
 public:
  explicit CurlTransport(CurlTransportOptions options)
      : workers_([options = std::move(options)](Worker*) {
          return std::make_shared<Worker>(options);
        }) {}
  CurlTransport(const CurlTransport&) = delete;
  CurlTransport& operator=(const CurlTransport&) = delete;
  ~CurlTransport() override {
    workers_.get().release();
    workers_.letGo();
  }

  void send(HttpRequest request, HttpCompletion completion) override {
    workers_.get().enqueue(std::move(request), std::move(completion));
  }

 private:
  PerProcess<Worker> workers_;
};

}  // namespace

std::shared_ptr<HttpTransport> makeCurlTransport(CurlTransportOptions options) {
  return std::make_shared<CurlTransport>(std::move(options));
}

}  // namespace tavrel_mmp::platform
