#include "headless_browser/headless_chromium.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

extern char** environ;

namespace tavrel_mmp::tools {
namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

// A descriptor moved above the standard three and the two the browser expects, so that
// placing it at 3 or 4 in the child is always a real dup2 (which clears close-on-exec).
int movedHigh(int fd) {
  const int high = ::fcntl(fd, F_DUPFD_CLOEXEC, 10);
  ::close(fd);
  return high;
}

// Writing to a pipe whose reader has gone raises SIGPIPE; blocked for the write, it is taken
// back off the thread instead of ending the process.
class PipeSignalBlocked {
 public:
  PipeSignalBlocked() {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_, &previous_);
  }
  ~PipeSignalBlocked() {
    sigset_t pending;
    sigpending(&pending);
    if (sigismember(&pending, SIGPIPE) == 1) {
      const timespec now{0, 0};
      sigtimedwait(&pipe_, nullptr, &now);
    }
    pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
  }
  PipeSignalBlocked(const PipeSignalBlocked&) = delete;
  PipeSignalBlocked& operator=(const PipeSignalBlocked&) = delete;

 private:
  sigset_t pipe_{};
  sigset_t previous_{};
};

std::optional<std::string> decodeBase64(const std::string& text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::string out(text.size() / 4 * 3, '\0');
  const int length = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                     reinterpret_cast<const unsigned char*>(text.data()),
                                     static_cast<int>(text.size()));
  if (length < 0) return std::nullopt;
  // EVP_DecodeBlock counts the padding as zero bytes.
  std::size_t padding = 0;
  while (padding < 2 && padding < text.size() && text[text.size() - 1 - padding] == '=') ++padding;
  out.resize(static_cast<std::size_t>(length) - padding);
  return out;
}

}  // namespace

HeadlessChromium::HeadlessChromium(Options options) : options_(std::move(options)) {
  std::error_code ignored;
  std::string pattern =
      (std::filesystem::temp_directory_path(ignored) / "tavrel_mmp_chromium.XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    fail(std::string("cannot make a profile folder: ") + std::strerror(errno));
    return;
  }
  profileDirectory_ = pattern;
  if (::access(options_.executable.c_str(), X_OK) != 0) {
    fail(options_.executable + " cannot be run");
    return;
  }

  int commands[2], answers[2];
  if (::pipe(commands) != 0) {
    fail(std::string("pipe: ") + std::strerror(errno));
    return;
  }
  if (::pipe(answers) != 0) {
    fail(std::string("pipe: ") + std::strerror(errno));
    ::close(commands[0]);
    ::close(commands[1]);
    return;
  }
  const int browserReads = movedHigh(commands[0]);
  toBrowser_ = movedHigh(commands[1]);
  fromBrowser_ = movedHigh(answers[0]);
  const int browserWrites = movedHigh(answers[1]);

  std::vector<std::string> arguments = {
      options_.executable,
      "--headless",
      "--remote-debugging-pipe",
      "--disable-gpu",
      "--disable-quic",
      "--no-first-run",
      "--disable-background-networking",
      "--disable-component-update",
      "--disable-sync",
      "--disable-dev-shm-usage",
      "--hide-scrollbars",
      "--user-data-dir=" + profileDirectory_,
      "--window-size=" + std::to_string(options_.width) + "," + std::to_string(options_.height),
  };
  // Its sandbox refuses to run as root.
  if (::geteuid() == 0) arguments.push_back("--no-sandbox");
  if (options_.ignoreCertificateErrors) arguments.push_back("--ignore-certificate-errors");
  arguments.push_back("about:blank");
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);

  // Its chatter goes to a file in its profile, read back when it fails to start.
  const std::string logPath = profileDirectory_ + "/chromium.log";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, logPath.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  posix_spawn_file_actions_adddup2(&actions, browserReads, 3);
  posix_spawn_file_actions_adddup2(&actions, browserWrites, 4);
  // A signal mask of the caller's (the service's blocked SIGPIPE, say) is not the browser's.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
  pid_t pid = -1;
  const int spawned = ::posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  ::close(browserReads);
  ::close(browserWrites);
  if (spawned != 0) {
    fail(std::string("cannot start chromium: ") + std::strerror(spawned));
    return;
  }
  pid_ = pid;
  // The first command answers once the browser listens on the pipe.
  if (!call("Browser.getVersion")) {
    std::ifstream log(logPath);
    const std::string chatter((std::istreambuf_iterator<char>(log)), {});
    fail("chromium did not answer on its pipe: " + chatter.substr(0, 2000));
    ::kill(pid_, SIGKILL);
    while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
  }
}

HeadlessChromium::~HeadlessChromium() {
  if (pid_ > 0) {
    if (toBrowser_ >= 0) {
      sendMessage(json{{"id", nextId_++}, {"method", "Browser.close"}}.dump());
    }
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    int status = 0;
    pid_t done = 0;
    while ((done = ::waitpid(pid_, &status, WNOHANG)) == 0 && Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (done == 0) {
      ::kill(pid_, SIGKILL);
      while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
      }
    }
  }
  if (toBrowser_ >= 0) ::close(toBrowser_);
  if (fromBrowser_ >= 0) ::close(fromBrowser_);
  if (!profileDirectory_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(profileDirectory_, ignored);
  }
}

std::optional<json> HeadlessChromium::call(const std::string& method, const json& params,
                                           const std::string& sessionId) {
  if (pid_ <= 0) {
    fail("the browser is not running");
    return std::nullopt;
  }
  const long id = nextId_++;
  json command = {{"id", id}, {"method", method}, {"params", params}};
  if (!sessionId.empty()) command["sessionId"] = sessionId;
  if (!sendMessage(command.dump())) return std::nullopt;
  const auto deadline = Clock::now() + options_.commandTimeout;
  // Events and late answers to earlier commands come in between; only this answer counts.
  while (const auto message = receiveMessage(deadline)) {
    if (message->value("id", -1L) != id) continue;
    if (message->contains("error")) {
      fail(method + ": " + (*message)["error"].dump());
      return std::nullopt;
    }
    return message->value("result", json::object());
  }
  return std::nullopt;
}

std::optional<std::string> HeadlessChromium::openPage(const std::string& url) {
  const auto target = call("Target.createTarget", {{"url", url}});
  if (!target || !(*target)["targetId"].is_string()) return std::nullopt;
  const auto attached =
      call("Target.attachToTarget", {{"targetId", (*target)["targetId"]}, {"flatten", true}});
  if (!attached || !(*attached)["sessionId"].is_string()) return std::nullopt;
  return (*attached)["sessionId"].get<std::string>();
}

std::optional<json> HeadlessChromium::evaluate(const std::string& sessionId,
                                               const std::string& expression) {
  const auto result = call(
      "Runtime.evaluate",
      {{"expression", expression}, {"returnByValue", true}, {"awaitPromise", true}}, sessionId);
  if (!result) return std::nullopt;
  if (result->contains("exceptionDetails")) {
    fail("the expression threw: " + (*result)["exceptionDetails"].dump());
    return std::nullopt;
  }
  const json& value = (*result)["result"];
  if (!value.contains("value")) {
    // undefined has no value; anything else that has none could not be returned as JSON.
    if (value.value("type", "") == "undefined") return json();
    fail("the value cannot be returned: " + value.dump());
    return std::nullopt;
  }
  return value["value"];
}

std::optional<std::string> HeadlessChromium::screenshotPng(const std::string& sessionId) {
  const auto height = evaluate(sessionId, "document.documentElement.scrollHeight");
  if (!height || !height->is_number()) return std::nullopt;
  if (!call("Emulation.setDeviceMetricsOverride",
            {{"width", options_.width},
             {"height", std::max(options_.height / 2, height->get<int>())},
             {"deviceScaleFactor", 1},
             {"mobile", false}},
            sessionId)) {
    return std::nullopt;
  }
  const auto shot = call("Page.captureScreenshot", {{"format", "png"}}, sessionId);
  if (!shot || !(*shot)["data"].is_string()) return std::nullopt;
  const auto png = decodeBase64((*shot)["data"].get<std::string>());
  if (!png) fail("the screenshot is not base64");
  return png;
}

bool HeadlessChromium::sendMessage(const std::string& text) {
  const PipeSignalBlocked blocked;
  const std::string message = text + '\0';
  std::size_t sent = 0;
  while (sent < message.size()) {
    const ssize_t n = ::write(toBrowser_, message.data() + sent, message.size() - sent);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return fail(std::string("cannot write to the browser: ") + std::strerror(errno));
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

std::optional<json> HeadlessChromium::receiveMessage(Clock::time_point deadline) {
  for (;;) {
    if (const std::size_t end = received_.find('\0'); end != std::string::npos) {
      json message = json::parse(received_.begin(), received_.begin() + end, nullptr, false);
      received_.erase(0, end + 1);
      if (!message.is_discarded()) return message;
      continue;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      fail("the browser did not answer in time");
      return std::nullopt;
    }
    pollfd readable{fromBrowser_, POLLIN, 0};
    const int ready = ::poll(&readable, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) continue;
    char buffer[65536];
    const ssize_t n = ::read(fromBrowser_, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      fail("the browser closed its pipe");
      return std::nullopt;
    }
    received_.append(buffer, static_cast<std::size_t>(n));
  }
}

bool HeadlessChromium::fail(std::string why) {
  error_ = std::move(why);
  return false;
}

}  // namespace tavrel_mmp::tools
