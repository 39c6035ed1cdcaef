#include "harvest/resultfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>

#include "portal/api.h"
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

namespace {

// The header a spreadsheet program leaves when it saves the file over (other separators, no
// mark, other line ends) is not the one the program writes.
bool HasOwnHeader(const QString& path, QString* error) {
  QFile reader(path);
  if (!reader.open(QIODevice::ReadOnly)) {
    *error = reader.errorString();
    return false;
  }
  const QByteArray head = HeaderBytes();
  return reader.read(head.size()) == head;
}

// How much of the file still holds the recorded rows where the record put them: `length`
// when every recorded row starting before it still starts a line, else the start of the last
// row that still does before the first one that no longer does (that row may be the one
// that was edited). Rows come in the order they were written. -1 when the file cannot be read.
qint64 KeptByRowStarts(const QString& path, const QList<WrittenRow>& rows, qint64 length) {
  QFile reader(path);
  if (!reader.open(QIODevice::ReadOnly)) return -1;
  const qint64 size = reader.size();
  qint64 lastMatching = ResultFile::HeaderSize();
  for (const WrittenRow& row : rows) {
    if (row.offset >= length) break;
    if (row.offset <= 0) continue;
    // A row past the file's end is a loss the cut tells of; only a moved start is an edit.
    if (row.offset > size) break;
    char before = 0;
    if (!reader.seek(row.offset - 1) || !reader.getChar(&before)) return -1;
    if (before != '\n') return std::min(lastMatching, length);
    lastMatching = row.offset;
  }
  return length;
}

}  // namespace

ResultFile::Restored ResultFile::RestoreInterrupted(const QString& dir, const QueueRecord& record,
                                                    const QList<WrittenRow>& rows,
                                                    const std::function<void(const char*)>& moment,
                                                    const SyncCall& call) {
  Restored restored{FileOutcome::Done(), {}, {}, {}};
  const auto at = [&moment](const char* name) {
    if (moment) moment(name);
  };
  // Only a plain result file name beside the executable is taken from the file.
  const QString name = record.resultFile;
  if (name.isEmpty() || record.resultLength < 0) return restored;
  if (name.contains(QLatin1Char('/')) || name.contains(QLatin1Char('\\')) || !name.startsWith(QLatin1String("data")) ||
      !name.endsWith(QLatin1String(".tab"))) {
    restored.notes << QStringLiteral("Файл context.dat называет неверный файл результатов, он не тронут: ") +
                          PrintableValue(name);
    return restored;
  }
  const QString tab = dir + name;
  const QString shownTab = QDir::toNativeSeparators(tab);
  if (!QFileInfo::exists(tab)) {
    restored.notes << QStringLiteral("Файл результатов прерванного запуска не найден: ") + shownTab;
    return restored;
  }
  const QString xlsx = tab.left(tab.size() - 4) + QStringLiteral(".xlsx");
  const QString shownXlsx = QDir::toNativeSeparators(xlsx);
  const auto again = QStringLiteral(" и нажмите \"СТАРТ\" снова; чтобы начать сбор с начала, ответьте \"Да\" на вопрос "
                                    "об оставшихся ссылках");
  // Numbers go in as text, all at once: a path with "%2" in it stays as it is.
  const auto number = [](qint64 n) { return QString::number(n); };

  // A header the program did not write: the file was saved over by another program, and its
  // rows can no longer be found by their bytes. Nothing is touched.
  QString error;
  if (!HasOwnHeader(tab, &error)) {
    restored.outcome = FileOutcome::Failed(
        error.isEmpty()
            ? QStringLiteral("файл результатов прерванного запуска %1 изменён другой программой (его строка "
                             "заголовка не та, что пишет программа), поэтому строки после последнего сохранения "
                             "не могут быть отрезаны. Верните файл, каким его оставила программа (из копии или "
                             "закрыв его в программе работы с таблицами без сохранения),%2")
                  .arg(shownTab, again)
            : QStringLiteral("файл результатов прерванного запуска %1 не прочитан (%2). Проверьте права на "
                             "файл и папку%3")
                  .arg(shownTab, error, again));
    return restored;
  }
  const qint64 size = QFileInfo(tab).size();
  // An edit inside the recorded length moves the starts of the rows after it: the file is cut
  // back to the start of the last row that is still where the record put it.
  const qint64 keep = KeptByRowStarts(tab, rows, record.resultLength);
  if (keep < 0) {
    restored.outcome = FileOutcome::Failed(
        QStringLiteral("файл результатов прерванного запуска %1 не прочитан. Проверьте права на файл и папку%2")
            .arg(shownTab, again));
    return restored;
  }
  // A workbook made after the record may hold rows that are cut now and fetched again: it
  // goes before the cut, so a kill in between leaves no workbook rather than a stale one.
  if ((size != record.resultLength || keep != record.resultLength) && QFileInfo::exists(xlsx)) {
    FileOutcome removed = RemoveFile(xlsx);
    if (removed) removed = SyncFolderOf(xlsx);
    if (!removed) {
      restored.outcome = FileOutcome::Failed(
          QStringLiteral("файл %1 не удалён (%2), а в нём могут быть строки, которые будут загружены заново. "
                         "Закройте его в программе работы с таблицами (или удалите сами)%3")
              .arg(shownXlsx, removed.reason, again));
      return restored;
    }
    at("resume:workbook-removed");
  }
  Cut cut;
  if (const FileOutcome cutBack = CutBack(tab, keep, &cut, call); !cutBack) {
    restored.outcome = FileOutcome::Failed(
        QStringLiteral("файл результатов прерванного запуска %1 не приведён к сохранённому состоянию (%2). "
                       "Закройте его во всех программах, проверьте права на файл и место на диске%3")
            .arg(shownTab, cutBack.reason, again));
    return restored;
  }
  at("resume:cut");
  // Rows the record counts but the file no longer holds: their tasks left the queue when
  // the rows were written, so they are named instead.
  for (const WrittenRow& row : rows)
    if (row.offset >= cut.after && row.offset < record.resultLength) restored.lost.append(row);
  const QString named = restored.lost.isEmpty()
                            ? QStringLiteral("; их задач в очереди уже нет, чтобы получить их, запустите "
                                             "регионы этого запуска заново")
                            : QStringLiteral(", их задачи (%1) перенесены в %2")
                                  .arg(number(restored.lost.size()), QStringLiteral("failed-tasks.txt"));
  if (cut.before < record.resultLength)
    restored.notes << QStringLiteral("Ошибка: файл результатов прерванного запуска %1 короче записанного (%2 байт "
                                     "вместо %3): строки после байта %4 потеряны%5")
                          .arg(shownTab, number(cut.before), number(record.resultLength), number(cut.after), named);
  else if (cut.after != record.resultLength)
    restored.notes << QStringLiteral("Файл результатов прерванного запуска %1 изменён после сохранения: он обрезан "
                                     "по концу строки на байте %2 вместо %3%4")
                          .arg(shownTab, number(cut.after), number(record.resultLength),
                               restored.lost.isEmpty() ? QString() : named);
  // Only the bytes past the record belong to tasks still in the queue; those before it
  // belong to the rows named above. Past an edit inside the record, where the record ends in
  // the file is no longer known: rows written after it are only told of as possible.
  const bool edited = keep < record.resultLength;
  const qint64 refetched = cut.before - std::max(cut.after, record.resultLength);
  if (refetched > 0 && !edited)
    restored.notes << QStringLiteral("Продолжаем прерванный запуск: из файла %1 убрано %2 байт после последнего "
                                     "сохранения, эти данные будут загружены заново")
                          .arg(shownTab, number(refetched));
  else if (refetched > 0)
    restored.notes << QStringLiteral("Строки, записанные в файл %1 после последнего сохранения, если они были, убраны "
                                     "тоже: их задачи остаются в очереди")
                          .arg(shownTab);
  // A file changed within its recorded length may have had its workbook made already.
  if (cut.after < record.resultLength && QFileInfo::exists(xlsx)) {
    if (const FileOutcome removed = RemoveFile(xlsx); !removed)
      restored.notes << QStringLiteral("Ошибка: устаревший файл %1 не удалён: %2").arg(shownXlsx, removed.reason);
  }
  if (!QFileInfo::exists(xlsx)) restored.workbookToMake = xlsx;
  return restored;
}
