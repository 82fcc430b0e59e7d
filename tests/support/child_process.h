#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tavrel_mmp::testing {

// Whether the tests and the hosts they start run under an emulator (a cross build).
bool runsUnderEmulator();

// A test host started as a child process, its standard output read line by line.
class ChildProcess {
 public:
  ChildProcess(const std::string& path, const std::vector<std::string>& args);
  // A child forked without exec, as a prefork server's worker: it runs `body` and ends with
  // _exit(body()).
  explicit ChildProcess(const std::function<int()>& body);
  ~ChildProcess();  // kills the child if it still runs
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // The next line of output, or none at end of output or when the time-out passes.
  std::optional<std::string> readLine(std::chrono::milliseconds timeout);
  // Waits for the child to end; the raw wait status, or none when the time-out passes.
  std::optional<int> wait(std::chrono::milliseconds timeout);
  void kill(int signal);

 private:
  void start(const std::function<void()>& inChild);

  pid_t pid_ = -1;
  int out_ = -1;
  std::string buffer_;
  bool reaped_ = false;
};

}  // namespace tavrel_mmp::testing
