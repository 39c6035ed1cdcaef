#include "harvest/resultfile.h"

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
  return true;
}

bool ResultFile::Sync(QString* error) {
  if (!file_) {
    if (error) *error = QStringLiteral("the result file is not open");
    return false;
  }
  if (file_->Sync()) return true;
  if (error) *error = file_->ErrorString();
  return false;
}

bool ResultFile::Close(QString* error) {
  if (!file_) return true;
  bool ok = Sync(error);
  if (!file_->Close() && ok) {  // also releases the lock
    ok = false;
    if (error) *error = file_->ErrorString();
  }
  file_.reset();
  return ok;
}

bool ResultFile::CutBack(const QString& path, qint64 length, qint64* before, QString* error) {
  SysFile file;
  const auto fail = [&](const QString& why) {
    if (error) *error = why;
    return false;
  };
  if (!file.Open(path, SysFile::Mode::kExisting)) return fail(file.ErrorString());
  const qint64 size = file.Size();
  if (size < 0) return fail(file.ErrorString());
  if (before) *before = size;
  if (size < length)
    return fail(QStringLiteral("файл короче записанной длины (%1 байт вместо %2)").arg(size).arg(length));
  if (size > length && !file.Truncate(length)) return fail(file.ErrorString());
  if (!file.Sync() || !file.Close()) return fail(file.ErrorString());
  return true;
}
