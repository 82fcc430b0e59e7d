#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace tavrel_mmp::soak {

// A host program run as a child process: its standard input a pipe the soak can close, each line
// of its standard output handed to `onLine` on a thread of its own.
class HostProcess {
 public:
  HostProcess(const std::string& path, const std::vector<std::string>& args,
              const std::vector<std::string>& extraEnvironment,
              std::function<void(const std::string&)> onLine);
  ~HostProcess();  // kills the child if it still runs, and reaps it
  HostProcess(const HostProcess&) = delete;
  HostProcess& operator=(const HostProcess&) = delete;

  // Sends the signal (unless the child is gone already) and waits until the child is gone and
  // its output read to the end; gives the raw wait status.
  int end(int signal);
  // Closes the child's standard input.
  void closeInput();
  // Whether the child still runs; once it does not, `end` gives how it ended.
  bool running();

 private:
  void readOutput(int fd);

  pid_t pid_ = -1;
  int input_ = -1;
  bool reaped_ = false;
  int status_ = 0;
  std::function<void(const std::string&)> onLine_;
  std::thread reader_;
};

}  // namespace tavrel_mmp::soak
