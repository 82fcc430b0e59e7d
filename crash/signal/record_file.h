#pragma once

// Signal context: everything in crash/signal/ may run inside a fatal-signal handler, so it uses
// async-signal-safe calls only: no allocation, no lock, no log.

#include <cstddef>
#include <string_view>

#include "crash/signal/fault_rounds.h"

namespace tavrel_mmp {

// What a dying process leaves in its crash file (the descriptor `OwnCrashFile` makes). Records
// are either held by fault rounds (threads inside an earlier handler; the file shows the record
// of the round that began last, since the fault that ends the process is most likely the
// latest, and is empty once no round holds one) or kept (the process is ending). A record is a
// crash text and its hash, written in the form of `record_format`; an empty text is no record.
class RecordFile {
 public:
  // The longest record, in its file form, that a fault round holds.
  static constexpr std::size_t kRecordCapacity = 16 * 1024;

  // `round` holds this record, in place of what its slot held before; false when this process
  // has no file or a record is kept already.
  static bool hold(const FaultRounds::Round& round, std::string_view text, std::string_view hash);
  // `round` has ended: its record goes, unless a newer round holds the slot by now.
  static void release(const FaultRounds::Round& round);
  // Keeps this record for good. The first kept record stays; a caller that finds the file being
  // written waits a moment for it, so that the process does not end under it.
  static void keep(std::string_view text, std::string_view hash);

  // For the owner of the file, outside signal context.
  // Whether this process has a file of its own, and whether the descriptor it has is a copy of
  // its parent's (a child forked without exec).
  static bool hasOwn();
  static bool hasInherited();
  // Waits a moment for no record to be held or kept and holds the file still; false while one
  // is (the process is in a fault round, or ending).
  static bool claimIdle();
  // Lets go of a file held still by `claimIdle`.
  static void unclaim();
  // Makes `fd` (-1: none) this process's file, empty and writable, and returns the descriptor it
  // had. A child's inherited rounds and records are forgotten.
  static int replace(int fd);
};

}  // namespace tavrel_mmp
