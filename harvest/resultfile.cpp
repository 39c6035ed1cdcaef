#include "harvest/resultfile.h"

#include <QFile>
#include <algorithm>

#include "text/clean.h"

namespace {

QByteArray HeaderBytes() {
  QByteArray head("\xEF\xBB\xBF");
  head += ResultFile::HeaderLine().toUtf8();
  head += "\r\n";
  return head;
}

}  // namespace

QString ResultFile::HeaderLine() {
  return QStringLiteral(
             "Регион;ID;Полное наименование;Сокращенное наименование;ОГРН;Дата регистрации;ИНН;"
             "КПП;ОПФ;Адрес места нахождения;Фактический адрес;Почтовый адрес;Телефон;Почта;"
             "Сайт;Фамилия из шапки;Имя из шапки;Отчество из шапки;ФИО руководителя из "
             "доп.информации;Режим работы;Лицо, осуществляющее прием граждан;Адрес места приема "
             "граждан;Телефон приёма;Часы приёма;Количество домов;Года Ввода;Года Постройки;"
             "Адреса домов;Суммарное число жилых помещений в домах;Ссылка")
      .replace(u';', u'\t');
}

bool ResultFile::Open(const QString& path, QString* error) {
  Close();
  auto file = std::make_unique<SysFile>();
  // Emptied only once it is ours, so a file that another process is still writing is left
  // alone.
  if (!file->Open(path, SysFile::Mode::kExclusive) || !file->Truncate(0)) {
    if (error) *error = file->ErrorString();
    return false;
  }
  file_ = std::move(file);
  size_ = 0;
  path_ = path;
  if (!WriteAll(HeaderBytes(), error)) {
    Close();
    return false;
  }
  return true;
}

qint64 ResultFile::HeaderSize() { return HeaderBytes().size(); }

QString ResultFile::FormatRow(const QStringList& fields) {
  QStringList cleaned;
  cleaned.reserve(fields.size());
  for (const QString& field : fields) {
    QString value = CleanField(field);
    // A portal null stands alone in its field; any field that is exactly "null" is blanked,
    // wherever it stands and whatever its neighbours hold.
    if (value == u"null") value.clear();
    cleaned << value;
  }
  return cleaned.join(u'\t');
}

bool ResultFile::WriteRow(const QStringList& fields, QString* error) {
  if (!file_) {
    if (error) *error = QStringLiteral("the result file is not open");
    return false;
  }
  QByteArray line = FormatRow(fields).toUtf8();
  line += "\r\n";
  return WriteAll(line, error);
}

bool ResultFile::WriteAll(const QByteArray& bytes, QString* error) {
  if (!file_->Write(bytes.constData(), bytes.size())) {
    const QString reason = file_->ErrorString();
    // Half a row would shift every column of the next run's reading: cut it off, so the
    // file ends with the last whole row.
    file_->Truncate(size_);
    if (error) *error = reason;
    return false;
  }
  size_ += bytes.size();
  synced_ = false;
  return true;
}

namespace {

bool SyncFile(SysFile& file, const QString& path, const SyncCall& call, QString* error) {
  if (SyncThrough(call, path, [&file] { return file.Sync(); })) return true;
  if (error)
    *error = file.ErrorString().isEmpty() ? QStringLiteral("the file could not be put on the disk") : file.ErrorString();
  return false;
}

}  // namespace

bool ResultFile::Sync(QString* error, const SyncCall& call) {
  if (file_) {
    synced_ = SyncFile(*file_, path_, call, error);
    return synced_;
  }
  if (synced_) return true;
  if (path_.isEmpty()) {
    if (error) *error = QStringLiteral("the result file is not open");
    return false;
  }
  SysFile again;
  if (!again.Open(path_, SysFile::Mode::kExisting)) {
    if (error) *error = again.ErrorString();
    return false;
  }
  synced_ = SyncFile(again, path_, call, error);
  return synced_;
}

bool ResultFile::Close(QString* error, const SyncCall& call) {
  if (!file_) return synced_;
  bool ok = Sync(error, call);
  if (!file_->Close() && ok) {  // also releases the lock
    ok = false;
    synced_ = false;
    if (error) *error = file_->ErrorString();
  }
  file_.reset();
  return ok;
}

namespace {

// The end of the last whole line at or before `limit`, not before `floor` (which is itself a
// line's end): a row never holds CR or LF, so its LF ends it. -1 when the file cannot be read.
qint64 LastLineEnd(QFile& file, qint64 limit, qint64 floor) {
  constexpr qint64 kChunk = 64 * 1024;
  qint64 end = limit;
  while (end > floor) {
    const qint64 start = std::max(floor, end - kChunk);
    if (!file.seek(start)) return -1;
    const QByteArray bytes = file.read(end - start);
    if (bytes.size() != end - start) return -1;
    const qsizetype lf = bytes.lastIndexOf('\n');
    if (lf >= 0) return start + lf + 1;
    end = start;
  }
  return floor;
}

}  // namespace

bool ResultFile::CutBack(const QString& path, qint64 length, Cut* cut, QString* error, const SyncCall& call) {
  const auto fail = [&](const QString& why) {
    if (error) *error = why;
    return false;
  };
  QFile reader(path);
  if (!reader.open(QIODevice::ReadOnly)) return fail(reader.errorString());
  const qint64 size = reader.size();
  const qint64 header = HeaderSize();
  if (cut) cut->before = size;
  if (size < header || reader.read(header) != HeaderBytes())
    return fail(QStringLiteral("в файле нет целой строки заголовка"));
  const qint64 end = LastLineEnd(reader, std::clamp(length, header, size), header);
  if (end < 0) return fail(reader.errorString());
  reader.close();
  if (cut) cut->after = end;

  SysFile file;
  if (!file.Open(path, SysFile::Mode::kExisting)) return fail(file.ErrorString());
  if (end < size && !file.Truncate(end)) return fail(file.ErrorString());
  QString reason;
  if (!SyncFile(file, path, call, &reason)) return fail(reason);
  if (!file.Close()) return fail(file.ErrorString());
  return true;
}
