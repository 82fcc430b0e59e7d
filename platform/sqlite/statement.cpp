#include "platform/sqlite/statement.h"

#include <sqlite3.h>

#include <utility>

#include "platform/sqlite/connection.h"

namespace tavrel_mmp::platform::sqlite {

std::string placeholders(std::size_t count) {
  std::string list;
  for (std::size_t i = 0; i < count; ++i) list += i == 0 ? "?" : ",?";
  return list;
}

Statement::~Statement() {
  if (handle_ == nullptr) return;
  const Connection::Call call(connection_);
  setStepping(false);
  sqlite3_finalize(handle_);
}

Statement::Statement(Statement&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)),
      connection_(std::exchange(other.connection_, nullptr)),
      stepping_(std::exchange(other.stepping_, false)) {}

Statement& Statement::operator=(Statement&& other) noexcept {
  if (this != &other) {
    Statement gone(std::move(*this));
    handle_ = std::exchange(other.handle_, nullptr);
    connection_ = std::exchange(other.connection_, nullptr);
    stepping_ = std::exchange(other.stepping_, false);
  }
  return *this;
}

int Statement::noted(int rc, int success) const {
  if (rc != success && connection_ != nullptr) connection_->noteFailure();
  return rc;
}

// A statement stepped to a row keeps its read open, and with it the connection's fork pass.
void Statement::setStepping(bool stepping) {
  if (stepping == stepping_ || connection_ == nullptr) return;
  stepping_ = stepping;
  connection_->steppingStatements_ += stepping ? 1 : -1;
}

bool Statement::bindText(int index, std::string_view text) {
  const Connection::Call call(connection_);
  // A null pointer would bind SQL NULL; an empty text stays an empty text.
  const char* data = text.data() != nullptr ? text.data() : "";
  return noted(sqlite3_bind_text64(handle_, index, data, text.size(), SQLITE_STATIC, SQLITE_UTF8),
               SQLITE_OK) == SQLITE_OK;
}

bool Statement::bindInt64(int index, std::int64_t value) {
  const Connection::Call call(connection_);
  return noted(sqlite3_bind_int64(handle_, index, value), SQLITE_OK) == SQLITE_OK;
}

bool Statement::bindBlob(int index, const void* data, std::size_t size) {
  const Connection::Call call(connection_);
  // An empty vector's data may be null, which would bind SQL NULL instead of no bytes.
  if (data == nullptr) data = "";
  return noted(sqlite3_bind_blob64(handle_, index, data, size, SQLITE_STATIC), SQLITE_OK) ==
         SQLITE_OK;
}

StepResult Statement::step() {
  const Connection::Call call(connection_);
  const int rc = sqlite3_step(handle_);
  setStepping(rc == SQLITE_ROW);
  switch (rc) {
    case SQLITE_ROW:
      return StepResult::row;
    case SQLITE_DONE:
      return StepResult::done;
    default:
      noted(rc, SQLITE_OK);
      return StepResult::failed;
  }
}

bool Statement::isNull(int column) {
  const Connection::Call call(connection_);
  return sqlite3_column_type(handle_, column) == SQLITE_NULL;
}

std::string_view Statement::columnText(int column) {
  const Connection::Call call(connection_);
  // The text first: asking for the size first could convert the value twice.
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(handle_, column));
  const int size = sqlite3_column_bytes(handle_, column);
  if (text == nullptr || size <= 0) return {};
  return {text, static_cast<std::size_t>(size)};
}

std::string_view Statement::columnBlob(int column) {
  const Connection::Call call(connection_);
  const auto* data = static_cast<const char*>(sqlite3_column_blob(handle_, column));
  const int size = sqlite3_column_bytes(handle_, column);
  if (data == nullptr || size <= 0) return {};
  return {data, static_cast<std::size_t>(size)};
}

std::int64_t Statement::columnInt64(int column) {
  const Connection::Call call(connection_);
  return sqlite3_column_int64(handle_, column);
}

void Statement::reset() {
  if (handle_ == nullptr) return;  // unlike the other calls, clearing does not check for null
  const Connection::Call call(connection_);
  sqlite3_reset(handle_);
  sqlite3_clear_bindings(handle_);
  setStepping(false);
}

}  // namespace tavrel_mmp::platform::sqlite
