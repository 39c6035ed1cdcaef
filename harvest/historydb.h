#pragma once
// Thin wrappers over SQLite's C calls for the history and its report: a prepared statement
// that finalizes itself, and the few one-line calls. Return codes are SQLite's own; the
// callers turn them into a reason (HarvestHistory::Failure).

#include <sqlite3.h>

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

namespace historydb {

// The address book's key: FNV-1a over the UTF-8 bytes. Stored in the file, so it must never
// change with a library's version.
inline qint64 AddressHash(const char* data, qsizetype size) {
  quint64 h = 1469598103934665603ULL;
  for (qsizetype i = 0; i < size; ++i) {
    h ^= static_cast<unsigned char>(data[i]);
    h *= 1099511628211ULL;
  }
  return static_cast<qint64>(h);
}

class Statement {
 public:
  Statement(sqlite3* db, const QByteArray& sql) {
    error_ = sqlite3_prepare_v2(db, sql.constData(), int(sql.size()), &stmt_, nullptr);
  }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  // SQLITE_OK when prepared.
  int Error() const { return error_; }

  void Reset() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }
  void Bind(int i, qint64 v) { sqlite3_bind_int64(stmt_, i, v); }
  void Bind(int i, const QString& v) {
    const QByteArray utf8 = v.toUtf8();
    sqlite3_bind_text(stmt_, i, utf8.constData(), int(utf8.size()), SQLITE_TRANSIENT);
  }
  // The bytes must live until the next Step.
  void BindBytes(int i, const char* data, qsizetype size) {
    sqlite3_bind_text(stmt_, i, data ? data : "", int(size), SQLITE_STATIC);
  }
  void BindNull(int i) { sqlite3_bind_null(stmt_, i); }

  // SQLITE_ROW, SQLITE_DONE or the failure.
  int Step() {
    if (error_ != SQLITE_OK) return error_;
    return sqlite3_step(stmt_);
  }

  int Columns() const { return sqlite3_column_count(stmt_); }
  qint64 Int(int col) const { return sqlite3_column_int64(stmt_, col); }
  bool IsNull(int col) const { return sqlite3_column_type(stmt_, col) == SQLITE_NULL; }
  // Valid until the next Step or Reset.
  QByteArrayView Bytes(int col) const {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, col));
    return QByteArrayView(text, text ? sqlite3_column_bytes(stmt_, col) : 0);
  }
  QString Text(int col) const { return QString::fromUtf8(Bytes(col)); }

 private:
  sqlite3_stmt* stmt_ = nullptr;
  int error_ = SQLITE_OK;
};

class Db {
 public:
  explicit Db(sqlite3* db) : db_(db) {}
  int Exec(const char* sql) { return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr); }
  // The first column of the first row (0 when there is none).
  int Scalar(const QByteArray& sql, qint64* value) {
    Statement s(db_, sql);
    const int rc = s.Step();
    *value = rc == SQLITE_ROW ? s.Int(0) : 0;
    return rc == SQLITE_ROW || rc == SQLITE_DONE ? SQLITE_OK : rc;
  }

 private:
  sqlite3* db_;
};

}  // namespace historydb
