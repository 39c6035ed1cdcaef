#include "harvest/resultfile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <QFile>
#include <cerrno>

#include "text/clean.h"

namespace {

QString SystemError(int code) { return qt_error_string(code); }

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
  path_ = path;
  QByteArray head("\xEF\xBB\xBF");
  head += HeaderLine().toUtf8();
  head += "\r\n";
  if (!WriteAll(head, error)) {
    Close();
    return false;
  }
  return true;
}

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
      if (error) *error = SystemError(errno);
      return false;
    }
    data += n;
    left -= n;
  }
  return true;
}

void ResultFile::Close() {
  if (fd_ < 0) return;
  ::close(fd_);  // also releases the lock
  fd_ = -1;
}
