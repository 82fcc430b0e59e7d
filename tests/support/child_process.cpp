#include "support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>
#include <thread>

namespace tavrel_mmp::testing {

bool runsUnderEmulator() {
#ifdef TEST_HOSTS_EMULATOR
  return true;
#else
  return false;
#endif
}

ChildProcess::ChildProcess(const std::string& path, const std::vector<std::string>& args) {
  std::vector<char*> argv;
#ifdef TEST_HOSTS_EMULATOR
  // A cross build's tests run under an emulator (qemu-user), and so do the hosts they start.
  static std::string emulator = TEST_HOSTS_EMULATOR;
  argv.push_back(emulator.data());
#endif
  argv.push_back(const_cast<char*>(path.c_str()));
  for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  start([&] {
    // Only async-signal-safe calls here. The child starts as a fresh process would: nothing
    // blocked, every signal at its default.
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int signal = 1; signal < NSIG; ++signal) ::signal(signal, SIG_DFL);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  });
}

ChildProcess::ChildProcess(const std::function<int()>& body) {
  start([&] { ::_exit(body()); });
}

void ChildProcess::start(const std::function<void()>& inChild) {
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(pipeFds[1], STDOUT_FILENO);
    inChild();
  }
  ::close(pipeFds[1]);
  out_ = pipeFds[0];
  if (pid_ < 0) throw std::runtime_error("cannot start a child process");
}

ChildProcess::~ChildProcess() {
  if (!reaped_ && pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  ::close(out_);
}

std::optional<std::string> ChildProcess::readLine(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (const auto newline = buffer_.find('\n'); newline != std::string::npos) {
      std::string line = buffer_.substr(0, newline);
      buffer_.erase(0, newline + 1);
      return line;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd fd{out_, POLLIN, 0};
    if (left.count() <= 0) return std::nullopt;
    if (::poll(&fd, 1, static_cast<int>(left.count())) <= 0) continue;
    char chunk[4096];
    const ssize_t n = ::read(out_, chunk, sizeof chunk);
    if (n <= 0) return std::nullopt;
    buffer_.append(chunk, static_cast<std::size_t>(n));
  }
}

std::optional<int> ChildProcess::wait(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  int status = 0;
  while (::waitpid(pid_, &status, WNOHANG) != pid_) {
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  reaped_ = true;
  return status;
}

void ChildProcess::kill(int signal) {
  ::kill(pid_, signal);
}

}  // namespace tavrel_mmp::testing
