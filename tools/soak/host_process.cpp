#include "soak/host_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

extern char** environ;

namespace tavrel_mmp::soak {

HostProcess::HostProcess(const std::string& path, const std::vector<std::string>& args,
                         const std::vector<std::string>& extraEnvironment,
                         std::function<void(const std::string&)> onLine)
    : onLine_(std::move(onLine)) {
  int in[2], out[2];
  if (::pipe2(in, O_CLOEXEC) != 0) throw std::runtime_error("no pipe");
  if (::pipe2(out, O_CLOEXEC) != 0) {
    ::close(in[0]);
    ::close(in[1]);
    throw std::runtime_error("no pipe");
  }
  std::vector<std::string> environment = extraEnvironment;
  for (char** entry = environ; *entry != nullptr; ++entry) environment.emplace_back(*entry);
  std::vector<char*> argv{const_cast<char*>(path.c_str())}, envp;
  for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  for (const auto& entry : environment) envp.push_back(const_cast<char*>(entry.c_str()));
  argv.push_back(nullptr);
  envp.push_back(nullptr);

  // The child starts as a fresh process would: its pipes as standard input and output, no
  // signal blocked, every signal at its default.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &all);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  const int failed =
      ::posix_spawn(&pid_, path.c_str(), &actions, &attributes, argv.data(), envp.data());
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  ::close(out[1]);
  input_ = in[1];
  if (failed != 0) {
    ::close(out[0]);
    ::close(input_);
    throw std::runtime_error("cannot start " + path);
  }
  reader_ = std::thread([this, fd = out[0]] { readOutput(fd); });
}

HostProcess::~HostProcess() {
  end(SIGKILL);
  closeInput();
}

void HostProcess::readOutput(int fd) {
  std::string buffer;
  char chunk[4096];
  for (ssize_t n; (n = ::read(fd, chunk, sizeof chunk)) != 0;) {
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    buffer.append(chunk, static_cast<std::size_t>(n));
    for (std::size_t newline; (newline = buffer.find('\n')) != std::string::npos;) {
      onLine_(buffer.substr(0, newline));
      buffer.erase(0, newline + 1);
    }
  }
  ::close(fd);
}

int HostProcess::end(int signal) {
  if (!reaped_) {
    ::kill(pid_, signal);
    ::waitpid(pid_, &status_, 0);
    reaped_ = true;
  }
  if (reader_.joinable()) reader_.join();
  return status_;
}

void HostProcess::closeInput() {
  if (input_ >= 0) ::close(input_);
  input_ = -1;
}

bool HostProcess::running() {
  if (reaped_) return false;
  if (::waitpid(pid_, &status_, WNOHANG) != pid_) return true;
  reaped_ = true;
  return false;
}

}  // namespace tavrel_mmp::soak
