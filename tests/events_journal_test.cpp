// The event journal: what a reader makes of torn and damaged bytes, and journals left by
// processes that stopped at chosen moments of recording and draining.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>

#include "events/database_helper.h"
#include "events/journal_format.h"
#include "support/test_support.h"

namespace tavrel_mmp {
namespace {

namespace fs = std::filesystem;

std::shared_ptr<EventData> event(const std::string& id) {
  return std::make_shared<EventData>(id, "k", 1, "s", true, R"({"a":1})", "pre");
}

std::string record(const std::string& id) {
  std::string out;
  journal::appendEvent(out, *event(id));
  return out;
}

std::vector<std::string> idsIn(const EventList& events) {
  std::vector<std::string> out;
  for (const auto& e : events) out.push_back(e->id);
  return out;
}

TEST(EventJournal, EveryWholeRecordIsReadAndNothingElse) {
  // The checksum every process and processor writes alike (CRC-32C's check value).
  EXPECT_EQ(journal::crc32c("123456789"), 0xE3069283u);
  const std::string a = record("a"), b = record("b");
  // A process killed at any byte of an append: the record it was appending never counts.
  for (std::size_t cut = a.size(); cut < a.size() + b.size(); ++cut) {
    ASSERT_EQ(idsIn(journal::read((a + b).substr(0, cut)).events), std::vector<std::string>{"a"});
  }
  std::string flipped = a;
  flipped[20] ^= 1;
  std::string mark;
  journal::appendForgetMark(mark);
  const struct {
    std::string bytes;
    std::vector<std::string> ids;
    bool forgotten;
  } cases[] = {
      {a + "\x01 damage \xff" + b, {"a", "b"}, false},
      {flipped + b, {"b"}, false},
      {a + mark + b, {"b"}, true},
      {"{\"not\":\"a journal\"}" + b.substr(0, 13), {}, false},
  };
  for (const auto& c : cases) {
    const auto contents = journal::read(c.bytes);
    EXPECT_EQ(idsIn(contents.events), c.ids);
    EXPECT_EQ(contents.forgotten, c.forgotten);
  }
}

// SQLite's own file system, except that the process dies right after its n-th write to a
// write-ahead log: a chosen moment of a drain (the last write of a commit is the moment between
// the commit and the journal's emptying).
sqlite3_vfs* realVfs;
sqlite3_vfs killingVfs;
sqlite3_io_methods killingWal;
int (*realWrite)(sqlite3_file*, const void*, int, sqlite3_int64);
int writesLeft;

void dieAtWalWrite(int n) {
  writesLeft = n;
  realVfs = sqlite3_vfs_find(nullptr);
  killingVfs = *realVfs;
  killingVfs.zName = "killing";
  killingVfs.xOpen = [](sqlite3_vfs* vfs, auto name, sqlite3_file* file, int flags, int* out) {
    const int rc = realVfs->xOpen(vfs, name, file, flags, out);
    if (rc == SQLITE_OK && (flags & SQLITE_OPEN_WAL) != 0) {
      killingWal = *file->pMethods;
      realWrite = file->pMethods->xWrite;
      killingWal.xWrite = [](sqlite3_file* f, const void* data, int size, sqlite3_int64 at) {
        const int written = realWrite(f, data, size, at);
        if (--writesLeft == 0) ::raise(SIGKILL);
        return written;
      };
      file->pMethods = &killingWal;
    }
    return rc;
  };
  sqlite3_vfs_register(&killingVfs, 1);
}

// Runs `body` in a forked child that ends with it; the child's wait status.
int inChild(const std::function<void()>& body) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    body();
    ::_exit(0);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return status;
}

TEST(EventJournal, JournalsOfProcessesThatAreGoneAreImportedOnceWhereverTheyStopped) {
  testing::TempDir dir;
  testing::installIsolatedPlatform(dir.path());
  const auto time = testing::installManualTime();  // drains run only when a test asks
  const std::string path = dir.path() + "/events.sqlite3";
  { DatabaseHelper(path).isUsable(); }
  std::map<std::string, int> expected;
  const auto recordInto = [&](DatabaseHelper& store, const std::string& prefix, int count) {
    for (int i = 0; i < count; ++i) store.addEvent(*event(prefix + std::to_string(i)));
  };

  // Killed at each write of a drain in turn (importing the journals the earlier ones left).
  bool drainedWhole = false;
  for (int n = 1; n <= 60 && !drainedWhole; ++n) {
    const std::string prefix = "drain" + std::to_string(n) + "-";
    for (int i = 0; i < 20; ++i) expected[prefix + std::to_string(i)] = 1;
    const int status = inChild([&] {
      dieAtWalWrite(n);
      DatabaseHelper store(path);
      recordInto(store, prefix, 20);
      store.drain();
      ::_exit(0);  // without the goodbyes of a store that goes
    });
    drainedWhole = WIFEXITED(status);
    ASSERT_TRUE(drainedWhole || (WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL));
  }
  EXPECT_TRUE(drainedWhole);

  // A child forked from a process with a journal of its own never writes into it.
  DatabaseHelper parent(path);
  recordInto(parent, "parent-", 3);
  const auto journalBytes = [&](pid_t pid) {
    std::uintmax_t bytes = 0;
    for (const auto& entry : fs::directory_iterator(dir.path())) {
      if (entry.path().filename().string().starts_with("events.sqlite3.events-" +
                                                       std::to_string(pid) + "-"))
        bytes += fs::file_size(entry.path());
    }
    return bytes;
  };
  const auto before = journalBytes(::getpid());
  ASSERT_TRUE(WIFEXITED(inChild([&] { recordInto(parent, "forked-", 2); })));
  EXPECT_EQ(journalBytes(::getpid()), before);
  parent.drain();
  for (const char* id : {"parent-0", "parent-1", "parent-2", "forked-0", "forked-1"})
    expected[id] = 1;

  // A damaged journal gives what it holds whole; a live process's journal is left alone.
  std::ofstream(path + ".events-1-feed.0") << "\x7f damage" << record("whole") << "\x01\x02";
  expected["whole"] = 1;
  const pid_t live = ::fork();
  if (live == 0) {
    DatabaseHelper store(path);
    recordInto(store, "live-", 4);
    for (;;) ::pause();
  }
  ASSERT_TRUE(testing::waitUntil([&] { return journalBytes(live) > 0; }));
  const auto stored = [&](DatabaseHelper& store) {
    std::map<std::string, int> counts;
    for (const auto& e : store.getEvents(100'000).value_or(EventList{})) ++counts[e->id];
    return counts;
  };
  DatabaseHelper importing(path);
  std::string out = testing::captureLog([&] { EXPECT_EQ(stored(importing), expected); });
  EXPECT_NE(out.find("damaged bytes of the event journal"), std::string::npos) << out;
  EXPECT_FALSE(fs::exists(path + ".events-1-feed.0"));

  ::kill(live, SIGKILL);  // the live one ends; the next start imports its journal
  ::waitpid(live, nullptr, 0);
  for (int i = 0; i < 4; ++i) expected["live-" + std::to_string(i)] = 1;
  DatabaseHelper nextStart(path);
  EXPECT_EQ(stored(nextStart), expected);
}

}  // namespace
}  // namespace tavrel_mmp
