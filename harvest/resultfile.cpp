#include "harvest/resultfile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <QFile>
#include <cerrno>

#include "text/clean.h"

namespace {

QString SystemError(int code) { return qt_error_string(code); }

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
  const QByteArray name = QFile::encodeName(path);
  // Not O_TRUNC: the file is emptied only once the lock is ours, so a file that another
  // process is still writing is left alone.
  const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    if (error) *error = SystemError(errno);
    return false;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int code = errno;
    ::close(fd);
    if (error)
      *error = code == EWOULDBLOCK ? QStringLiteral("the file is in use by another program")
                                   : SystemError(code);
    return false;
  }
  if (::ftruncate(fd, 0) != 0) {
    const int code = errno;
    ::close(fd);
    if (error) *error = SystemError(code);
    return false;
  }
  fd_ = fd;
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
  if (fd_ < 0) {
    if (error) *error = QStringLiteral("the result file is not open");
    return false;
  }
  QByteArray line = FormatRow(fields).toUtf8();
  line += "\r\n";
  return WriteAll(line, error);
}

bool ResultFile::WriteAll(const QByteArray& bytes, QString* error) {
  const char* data = bytes.constData();
  qsizetype left = bytes.size();
  while (left > 0) {
    const ssize_t n = ::write(fd_, data, size_t(left));
    if (n < 0) {
      if (errno == EINTR) continue;
      const int code = errno;
      // Half a row would shift every column of the next run's reading: cut it off, so the
      // file ends with the last whole row.
      if (::ftruncate(fd_, size_) == 0) ::lseek(fd_, size_, SEEK_SET);
      if (error) *error = SystemError(code);
      return false;
    }
    data += n;
    left -= n;
  }
  size_ += bytes.size();
  return true;
}

bool ResultFile::Sync(QString* error) {
  if (fd_ < 0) {
    if (error) *error = QStringLiteral("the result file is not open");
    return false;
  }
  if (::fsync(fd_) == 0) return true;
  if (error) *error = SystemError(errno);
  return false;
}

bool ResultFile::Close(QString* error) {
  if (fd_ < 0) return true;
  const bool synced = Sync(error);
  ::close(fd_);  // also releases the lock
  fd_ = -1;
  return synced;
}

bool ResultFile::CutBack(const QString& path, qint64 length, qint64* before, QString* error) {
  const QByteArray name = QFile::encodeName(path);
  const int fd = ::open(name.constData(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) {
    if (error) *error = SystemError(errno);
    return false;
  }
  const auto fail = [&](const QString& why) {
    ::close(fd);
    if (error) *error = why;
    return false;
  };
  const off_t size = ::lseek(fd, 0, SEEK_END);
  if (size < 0) return fail(SystemError(errno));
  if (before) *before = size;
  if (size < length)
    return fail(QStringLiteral("файл короче записанной длины (%1 байт вместо %2)").arg(size).arg(length));
  if (size > length && ::ftruncate(fd, length) != 0) return fail(SystemError(errno));
  if (::fsync(fd) != 0) return fail(SystemError(errno));
  ::close(fd);
  return true;
}
