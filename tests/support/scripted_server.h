#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tavrel_mmp::testing {

// A bare HTTP/1.1 peer on loopback that plays a script on each connection it accepts, for the
// faults a real service never makes on cue. One thread serves the connections one after another,
// in the order they arrive; the n-th connection plays the n-th script, and connections beyond the
// scripts are closed unread. A connection closes after its last step.
class ScriptedServer {
 public:
  struct Step {
    enum class Kind {
      readRequest,  // read one whole request (headers and a Content-Length body) and count it
      write,        // write `bytes`
      hold,         // wait for release()
    };
    Kind kind;
    std::string bytes;
  };
  static Step readRequest() { return {Step::Kind::readRequest, {}}; }
  static Step write(std::string bytes) { return {Step::Kind::write, std::move(bytes)}; }
  static Step hold() { return {Step::Kind::hold, {}}; }
  // A complete answer that keeps the connection open.
  static std::string answer(const std::string& body, const std::string& status = "200 OK");

  explicit ScriptedServer(std::vector<std::vector<Step>> scripts);
  ~ScriptedServer();  // closes everything and waits for the thread
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;

  std::string url(const std::string& path = "/p") const;
  // Every request read so far, as it arrived on the wire.
  std::vector<std::string> requests() const;
  // Lets connections held at a `hold` step go on.
  void release();
  // Blocks until this many connections have played their script to the end and closed.
  bool waitForFinishedScripts(std::size_t count,
                              std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

 private:
  void serve();
  void play(int connection, const std::vector<Step>& script);
  bool readOneRequest(int connection);

  const std::vector<std::vector<Step>> scripts_;
  int listener_ = -1;
  int port_ = 0;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  // Guarded by mutex_.
  std::vector<std::string> requests_;
  std::size_t finishedScripts_ = 0;
  bool released_ = false;
  bool stopping_ = false;
  int connection_ = -1;  // the one being served, so that stopping can cut a blocking read
  std::thread thread_;
};

}  // namespace tavrel_mmp::testing
