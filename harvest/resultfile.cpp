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

FileOutcome ResultFile::Open(const QString& path) {
  if (file_) {
    if (FileOutcome closed = Close(); !closed) return closed;
  }
  auto file = std::make_unique<SysFile>();
  // Emptied only once it is ours, so a file that another process is still writing is left
  // alone.
  FileOutcome opened = file->Open(path, SysFile::Mode::kOneWriter);
  if (opened) opened = file->Truncate(0);
  if (!opened) return opened;
  file_ = std::move(file);
  size_ = 0;
  path_ = path;
  FileOutcome header = WriteAll(HeaderBytes());
  if (!header) static_cast<void>(Close());  // the header's failure is the one to report
  return header;
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

FileOutcome ResultFile::WriteRow(const QStringList& fields) {
  if (!file_) return FileOutcome::Failed(NotOpenReason());
  QByteArray line = FormatRow(fields).toUtf8();
  line += "\r\n";
  return WriteAll(line);
}

FileOutcome ResultFile::WriteAll(const QByteArray& bytes) {
  if (FileOutcome written = file_->Write(bytes.constData(), bytes.size()); !written) {
    // Half a row would shift every column of the next run's reading: cut it off, so the
    // file ends with the last whole row. Should that fail too, the next run's cut back to
    // the recorded length still takes it off.
    static_cast<void>(file_->Truncate(size_));
    return written;
  }
  size_ += bytes.size();
  synced_ = false;
  return FileOutcome::Done();
}

FileOutcome ResultFile::Sync(const SyncCall& call) {
  if (file_) {
    FileOutcome synced = SyncFile(*file_, path_, call);
    synced_ = synced.ok;
    return synced;
  }
  if (synced_) return FileOutcome::Done();
  if (path_.isEmpty()) return FileOutcome::Failed(NotOpenReason());
  SysFile again;
  if (FileOutcome opened = again.Open(path_, SysFile::Mode::kExisting); !opened) return opened;
  FileOutcome synced = SyncFile(again, path_, call);
  if (FileOutcome closed = again.Close(); !closed && synced) synced = closed;
  synced_ = synced.ok;
  return synced;
}

FileOutcome ResultFile::Close(const SyncCall& call) {
  if (!file_) return synced_ ? FileOutcome::Done() : FileOutcome::Failed(NotOnDiskReason());
  FileOutcome closed = Sync(call);
  if (FileOutcome released = file_->Close(); !released && closed) {  // also releases the lock
    closed = released;
    synced_ = false;
  }
  file_.reset();
  return closed;
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

FileOutcome ResultFile::CutBack(const QString& path, qint64 length, Cut* cut, const SyncCall& call) {
  const auto fail = FileOutcome::Failed;
  QFile reader(path);
  if (!reader.open(QIODevice::ReadOnly)) return fail(ReadFailureReason(path));
  const qint64 size = reader.size();
  const qint64 header = HeaderSize();
  if (cut) cut->before = size;
  if (size < header || reader.read(header) != HeaderBytes())
    return fail(QStringLiteral("в файле нет целой строки заголовка"));
  const qint64 end = LastLineEnd(reader, std::clamp(length, header, size), header);
  if (end < 0) return fail(ReadFailureReason(path));
  reader.close();
  if (cut) cut->after = end;

  SysFile file;
  if (FileOutcome opened = file.Open(path, SysFile::Mode::kExisting); !opened) return opened;
  if (end < size) {
    if (FileOutcome cutOff = file.Truncate(end); !cutOff) return cutOff;
  }
  if (FileOutcome synced = SyncFile(file, path, call); !synced) return synced;
  return file.Close();
}
