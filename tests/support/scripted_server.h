#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tavrel_mmp::testing {

// A bare HTTP/1.1 peer on loopback that plays a script on each connection it accepts, for the
// faults a real service never makes on cue. Each connection is served on a thread of its own;
// the n-th connection accepted plays the n-th script. Connections beyond the scripts are closed
// unread, or, with `repeatLast`, play the last script again. A connection closes after its last
// step.
class ScriptedServer {
 public:
  struct Step {
    enum class Kind {
      readRequest,  // read one whole request (headers and a Content-Length body) and count it
      write,        // write `bytes`
      trickle,      // write `bytes` one byte at a time, `interval` apart
      hold,         // wait for release()
      reset,        // end the connection with a reset instead of an orderly close
    };
    Kind kind;
    std::string bytes;
    std::chrono::milliseconds interval{0};
  };
  static Step readRequest() { return {Step::Kind::readRequest, {}}; }
  static Step write(std::string bytes) { return {Step::Kind::write, std::move(bytes)}; }
  static Step trickle(std::string bytes, std::chrono::milliseconds interval) {
    return {Step::Kind::trickle, std::move(bytes), interval};
  }
  static Step hold() { return {Step::Kind::hold, {}}; }
  static Step reset() { return {Step::Kind::reset, {}}; }
  // A complete answer that keeps the connection open.
  static std::string answer(const std::string& body, const std::string& status = "200 OK");

  explicit ScriptedServer(std::vector<std::vector<Step>> scripts, bool repeatLast = false);
  ~ScriptedServer();  // closes everything and waits for the threads
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
  const std::vector<Step>* scriptFor(std::size_t connectionIndex) const;
  void play(int connection, const std::vector<Step>& script);
  bool readOneRequest(int connection);
  bool trickle(int connection, const Step& step);
  void finish(int connection, bool scripted);

  const std::vector<std::vector<Step>> scripts_;
  const bool repeatLast_;
  int listener_ = -1;
  int port_ = 0;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  // Guarded by mutex_.
  std::vector<std::string> requests_;
  std::size_t finishedScripts_ = 0;
  bool released_ = false;
  bool stopping_ = false;
  std::vector<int> open_;  // connections being served, so that stopping can cut blocking calls
  std::vector<std::thread> players_;  // added to by the accepting thread only
  std::thread thread_;
};

}  // namespace tavrel_mmp::testing
