#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

struct sqlite3_stmt;

namespace tavrel_mmp::platform::sqlite {

enum class StepResult { row, done, failed };

// "?,?,?": `count` parameters for an IN list.
std::string placeholders(std::size_t count);

// One prepared statement, finalized with its owner; made by `Connection::prepare`. An empty one
// (its preparation failed) fails every operation. Bound text and bytes are not copied: they must
// stay unchanged until the statement is reset. Used under the same lock as its connection, and
// never outlives it; failures are explained by the connection's `errorMessage()`.
class Connection;

class Statement {
 public:
  Statement() = default;
  ~Statement();
  Statement(Statement&& other) noexcept;
  Statement& operator=(Statement&& other) noexcept;
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  explicit operator bool() const { return handle_ != nullptr; }

  // Parameters count from 1; false when the value was not bound.
  bool bindText(int index, std::string_view text);
  bool bindInt64(int index, std::int64_t value);
  bool bindBlob(int index, const void* data, std::size_t size);

  StepResult step();

  // Columns of the current row count from 0. A text or blob is valid until the next step or
  // reset; NULL reads as empty or 0.
  bool isNull(int column);
  std::string_view columnText(int column);
  std::string_view columnBlob(int column);
  std::int64_t columnInt64(int column);

  // Ready to run again, with no values bound.
  void reset();

 private:
  friend class Connection;
  Statement(sqlite3_stmt* handle, Connection* connection)
      : handle_(handle), connection_(connection) {}
  // Tells the connection why the call that answered `rc` failed; passes `rc` on.
  int noted(int rc, int success) const;
  void setStepping(bool stepping);

  sqlite3_stmt* handle_ = nullptr;
  Connection* connection_ = nullptr;
  bool stepping_ = false;
};

}  // namespace tavrel_mmp::platform::sqlite
