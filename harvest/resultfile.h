#pragma once
// The result file: UTF-8 with a byte order mark, a header line, then one row of TAB-separated
// fields per line, every line ending in CR LF. Each row reaches the file as soon as it is
// written, so the file is usable at any moment of a run and after an abnormal end.

#include <QString>
#include <QStringList>

class ResultFile {
 public:
  ResultFile() = default;
  ~ResultFile() { Close(); }
  ResultFile(const ResultFile&) = delete;
  ResultFile& operator=(const ResultFile&) = delete;

  // The header line (without its line end): the 30 column titles joined by TAB.
  static QString HeaderLine();

  // Creates the file (an existing one is emptied), writes the mark and the header. The file
  // stays locked against other writers (an exclusive lock) until Close(). On failure the
  // reason goes to *error and nothing is open.
  bool Open(const QString& path, QString* error);

  // Writes one row. Every field is cleaned first (TAB becomes a blank, CR and LF go, so a
  // value can never break the row's layout), and a field that is exactly "null" is written
  // empty.
  bool WriteRow(const QStringList& fields, QString* error = nullptr);

  void Close();
  bool IsOpen() const { return fd_ >= 0; }
  QString Path() const { return path_; }

  // The line as WriteRow writes it, without its line end.
  static QString FormatRow(const QStringList& fields);

 private:
  bool WriteAll(const QByteArray& bytes, QString* error);

  int fd_ = -1;
  QString path_;
};
