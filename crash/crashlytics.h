#pragma once

#include <string>

namespace tavrel_mmp {

// The last fatal failure of the process, kept in the settings store until the service has it,
// and the host's handled errors.
class Crashlytics {
 public:
  // Imports the crash files that processes which are gone left, prepares this process's own,
  // and puts the terminate hook and the fatal-signal handlers in front of the ones installed
  // before; a hook or handler the host installs later stays in front of ours. Cheap when called
  // again.
  static void setup();
  // Prepares this process's crash file if it is still missing (once crash capture is set up),
  // then uploads the stored record, if there is one, its stack frames named where this process
  // can (`FrameSymbols`).
  static void check();
  // Uploads the host's report at once when authenticated, otherwise stores it for later.
  static void recordError(const std::string& name, const std::string& stackTrace);
  // The installation starts over: the stored record and the crash files of processes that are
  // gone are dropped unread.
  static void forget();
  // Every call into the library: a fault the host resolved by jumping out of its handler since
  // the last look is settled now, before the process may end in a way that skips exit handlers,
  // and modules loaded since the last call are added to those a crash report can name.
  static void atLibraryCall();

 private:
  static bool saveCrashLog(const std::string& text, const std::string& hash);
  static void sendCrashLogToServer(const std::string& text, const std::string& hash);
  static void prepareCrashFile();
};

}  // namespace tavrel_mmp
