// The result file writer and the workbook export.

#include <gtest/gtest.h>

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include "harvest/resultfile.h"
#include "harvest/workbook.h"
#include "tests/support/smalldisk.h"
#include "text/textfile.h"

namespace {

QByteArray ReadAll(const QString& path) {
  QFile file(path);
  EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << path.toStdString();
  return file.readAll();
}

QByteArray HeaderBytes() { return "\xEF\xBB\xBF" + ResultFile::HeaderLine().toUtf8() + "\r\n"; }

TEST(ResultFile, HeaderHasThirtyTitles) {
  const QStringList titles = ResultFile::HeaderLine().split(u'\t');
  ASSERT_EQ(titles.size(), 30);
  EXPECT_EQ(titles.first(), QStringLiteral("Регион"));
  EXPECT_EQ(titles.at(18), QStringLiteral("ФИО руководителя из доп.информации"));
  EXPECT_EQ(titles.at(20), QStringLiteral("Лицо, осуществляющее прием граждан"));  // the comma stays
  EXPECT_EQ(titles.at(22), QStringLiteral("Телефон приёма"));
  EXPECT_EQ(titles.last(), QStringLiteral("Ссылка"));
}

TEST(ResultFile, HeaderBytesAreTheTitlesSeparatedByTabs) {
  // The titles typed out here, apart from the program's own copy.
  const QByteArray titles = QStringLiteral(
      "Регион;ID;Полное наименование;Сокращенное наименование;ОГРН;Дата регистрации;ИНН;КПП;ОПФ;"
      "Адрес места нахождения;Фактический адрес;Почтовый адрес;Телефон;Почта;Сайт;Фамилия из шапки;"
      "Имя из шапки;Отчество из шапки;ФИО руководителя из доп.информации;Режим работы;"
      "Лицо, осуществляющее прием граждан;Адрес места приема граждан;Телефон приёма;Часы приёма;"
      "Количество домов;Года Ввода;Года Постройки;Адреса домов;"
      "Суммарное число жилых помещений в домах;Ссылка").toUtf8().replace(';', '\t');
  QTemporaryDir dir;
  const QString path = dir.filePath(QStringLiteral("data42.tab"));
  ResultFile file;
  QString error;
  ASSERT_TRUE(file.Open(path, &error)) << error.toStdString();
  file.Close();
  EXPECT_EQ(ReadAll(path), QByteArray("\xEF\xBB\xBF") + titles + "\r\n");
}

TEST(ResultFile, MarkHeaderAndRowsEachFlushedAtOnce) {
  QTemporaryDir dir;
  const QString path = dir.filePath(QStringLiteral("data5000.tab"));
  {
    QFile old(path);
    ASSERT_TRUE(old.open(QIODevice::WriteOnly));
    old.write("stale content of an earlier file, longer than nothing\r\n");
  }
  ResultFile file;
  QString error;
  ASSERT_TRUE(file.Open(path, &error)) << error.toStdString();
  EXPECT_TRUE(file.IsOpen());
  EXPECT_EQ(ReadAll(path), HeaderBytes());

  ASSERT_TRUE(file.WriteRow({QStringLiteral("Москва"), QStringLiteral("g1"), QStringLiteral("x")}));
  // The row is in the file before the file is closed.
  EXPECT_EQ(ReadAll(path), HeaderBytes() + QByteArray("Москва\tg1\tx\r\n"));
  ASSERT_TRUE(file.WriteRow({QString(), QString()}));
  file.Close();
  EXPECT_FALSE(file.IsOpen());
  EXPECT_EQ(ReadAll(path), HeaderBytes() + QByteArray("Москва\tg1\tx\r\n\t\r\n"));
  EXPECT_FALSE(file.WriteRow({QStringLiteral("late")}, &error));
  EXPECT_FALSE(error.isEmpty());
}

TEST(ResultFile, NullFieldsBlankedAndEveryFieldCleaned) {
  struct Case {
    QStringList fields;
    QByteArray line;
  } cases[] = {
      {{"a", "null", "b"}, "a\t\tb"},
      {{"null", "a", "null"}, "\ta\t"},              // first and last field too
      {{"a", "null", "null", "b"}, "a\t\t\tb"},      // neighbours both blanked
      {{"null"}, ""},
      {{"nullable", "x null", "NULL", "null "}, "nullable\tx null\tNULL\tnull "},
      {{"Мос\tква", "g\r\n1", "a\"b", "|A\n|B\r"}, "Мос ква\tg1\ta\"b\t|A|B"},
      {{"nu\nll"}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line.toStdString());
    EXPECT_EQ(ResultFile::FormatRow(c.fields).toUtf8(), c.line);
  }
}

TEST(ResultFile, FullDiskLeavesOnlyWholeRows) {
  SmallDisk disk(64);
  if (!disk.Available()) GTEST_SKIP() << "no small file system can be mounted here (not root)";
  const QString path = disk.Path() + QStringLiteral("data1.tab");
  ResultFile file;
  ASSERT_TRUE(file.Open(path, nullptr));
  QStringList fields;
  // A row larger than a page of the file system, so that part of it fits before the disk is full.
  for (int i = 0; i < 30; ++i) fields << QStringLiteral("поле %1 ").arg(i).repeated(40);
  const int written = 3;
  for (int i = 0; i < written; ++i) ASSERT_TRUE(file.WriteRow(fields));
  disk.Fill();
  QString reason;
  EXPECT_FALSE(file.WriteRow(fields, &reason));
  EXPECT_FALSE(reason.isEmpty());
  // The failed row is gone again; later rows still fit once there is room.
  EXPECT_EQ(QFileInfo(path).size(), file.Size());
  EXPECT_TRUE(file.Sync());
  disk.Free();
  fields[0] = QStringLiteral("после");
  EXPECT_TRUE(file.WriteRow(fields));
  EXPECT_TRUE(file.Close());
  QStringList lines;
  ASSERT_TRUE(ReadTextLines(path, &lines));
  ASSERT_EQ(lines.size(), 1 + written + 1);
  for (const QString& line : lines) EXPECT_EQ(line.count(QLatin1Char('\t')), 29);
  EXPECT_TRUE(lines.last().startsWith(QStringLiteral("после\t")));
}

TEST(ResultFile, CutBackToARecordedLength) {
  QTemporaryDir dir;
  const QString path = dir.path() + QStringLiteral("/data2.tab");
  ResultFile file;
  ASSERT_TRUE(file.Open(path, nullptr));
  EXPECT_EQ(file.Size(), ResultFile::HeaderSize());
  ASSERT_TRUE(file.WriteRow(QStringList(30, QStringLiteral("a"))));
  const qint64 oneRow = file.Size();
  ASSERT_TRUE(file.WriteRow(QStringList(30, QStringLiteral("b"))));
  ASSERT_TRUE(file.Close());
  qint64 before = 0;
  QString reason;
  ASSERT_TRUE(ResultFile::CutBack(path, oneRow, &before, &reason)) << reason.toStdString();
  EXPECT_GT(before, oneRow);
  EXPECT_EQ(QFileInfo(path).size(), oneRow);
  // Already that long: nothing to do. Longer than the file: refused, the file untouched.
  EXPECT_TRUE(ResultFile::CutBack(path, oneRow, &before, &reason));
  EXPECT_FALSE(ResultFile::CutBack(path, oneRow + 1, &before, &reason));
  EXPECT_FALSE(reason.isEmpty());
  EXPECT_EQ(QFileInfo(path).size(), oneRow);
  EXPECT_FALSE(ResultFile::CutBack(dir.path() + QStringLiteral("/none.tab"), 0, &before, &reason));
}

TEST(ResultFile, SecondWriterIsRefusedAndBadPathReported) {
  QTemporaryDir dir;
  const QString path = dir.filePath(QStringLiteral("data1.tab"));
  ResultFile first;
  QString error;
  ASSERT_TRUE(first.Open(path, &error));
  ASSERT_TRUE(first.WriteRow({QStringLiteral("kept")}));

  ResultFile second;
  EXPECT_FALSE(second.Open(path, &error));
  EXPECT_FALSE(error.isEmpty());
  EXPECT_FALSE(second.IsOpen());
  // The refused writer did not empty the file.
  EXPECT_EQ(ReadAll(path), HeaderBytes() + "kept\r\n");
  first.Close();
  EXPECT_TRUE(second.Open(path, &error));

  error.clear();
  ResultFile bad;
  EXPECT_FALSE(bad.Open(dir.filePath(QStringLiteral("no/such/dir/data.tab")), &error));
  EXPECT_FALSE(error.isEmpty());
}

// The sheet's XML, read back out of the workbook.
QString SheetXml(const QString& xlsx) {
  QProcess unzip;
  unzip.start(QStringLiteral("unzip"), {QStringLiteral("-p"), xlsx, QStringLiteral("xl/worksheets/sheet1.xml")});
  EXPECT_TRUE(unzip.waitForFinished(30000));
  EXPECT_EQ(unzip.exitCode(), 0);
  return QString::fromUtf8(unzip.readAllStandardOutput());
}

QStringList Row(const QString& region, const QString& inn, const QString& houses, const QString& sum) {
  QStringList row(30);
  row[0] = region;
  row[1] = QStringLiteral("guid-") + region;
  row[6] = inn;
  row[24] = houses;
  row[25] = QStringLiteral("1990,1985");
  row[28] = sum;
  row[29] = QStringLiteral("https://portal.test/#!/organizationView/g&1");
  return row;
}

// A finished result file holding these rows after its header.
void WriteResultFile(const QString& path, const QList<QStringList>& rows) {
  ResultFile file;
  QString error;
  ASSERT_TRUE(file.Open(path, &error)) << error.toStdString();
  for (const QStringList& row : rows) ASSERT_TRUE(file.WriteRow(row, &error)) << error.toStdString();
}

TEST(Workbook, ExportHoldsHeaderRowsNumbersAndIdentifiers) {
  QTemporaryDir dir;
  const QString tab = dir.filePath(QStringLiteral("data7.tab"));
  const QString xlsx = dir.filePath(QStringLiteral("data7.xlsx"));
  const QString none = QStringLiteral("Нет домов");
  ASSERT_NO_FATAL_FAILURE(WriteResultFile(
      tab, {Row(QStringLiteral("Москва"), QStringLiteral("0771234567"), QStringLiteral("3"), QStringLiteral("42")),
            Row(QStringLiteral("Тверь"), QStringLiteral("12345678901234567890"), none, none)}));
  const WorkbookOutcome out = ExportWorkbook(tab, xlsx);
  ASSERT_TRUE(out.ok) << out.error.toStdString();
  EXPECT_EQ(out.rows, 3);  // the header counts
  EXPECT_EQ(out.truncated, 0);

  const QString xml = SheetXml(xlsx);
  EXPECT_TRUE(xml.contains(QStringLiteral("<t>Регион</t>")));
  EXPECT_TRUE(xml.contains(QStringLiteral("<t>Суммарное число жилых помещений в домах</t>")));
  EXPECT_TRUE(xml.contains(QStringLiteral("<t>Москва</t>")));
  // Numbers where the columns hold whole numbers, text where they do not.
  EXPECT_TRUE(xml.contains(QStringLiteral(R"(<c r="Y2"><v>3</v></c>)"))) << xml.toStdString();
  EXPECT_TRUE(xml.contains(QStringLiteral(R"(<c r="AC2"><v>42</v></c>)")));
  EXPECT_TRUE(xml.contains(QStringLiteral(R"(<c r="Y3" t="inlineStr"><is><t>Нет домов</t></is></c>)")));
  // Identifiers stay text with every digit.
  EXPECT_TRUE(xml.contains(QStringLiteral(R"(<c r="G2" t="inlineStr"><is><t>0771234567</t></is></c>)")));
  EXPECT_TRUE(xml.contains(QStringLiteral("<t>12345678901234567890</t>")));
  EXPECT_TRUE(xml.contains(QStringLiteral("<t>1990,1985</t>")));
  EXPECT_TRUE(xml.contains(QStringLiteral("organizationView/g&amp;1")));
  EXPECT_TRUE(xml.contains(QStringLiteral(R"(<autoFilter ref="A1:AD3"/>)")));
  EXPECT_TRUE(xml.contains(QStringLiteral(R"(ySplit="1")")));
}

TEST(Workbook, HeaderOnlyFileGivesOneRow) {
  QTemporaryDir dir;
  const QString tab = dir.filePath(QStringLiteral("data1.tab"));
  ASSERT_NO_FATAL_FAILURE(WriteResultFile(tab, {}));
  const WorkbookOutcome out = ExportWorkbook(tab, dir.filePath(QStringLiteral("data1.xlsx")));
  ASSERT_TRUE(out.ok) << out.error.toStdString();
  EXPECT_EQ(out.rows, 1);
  EXPECT_TRUE(SheetXml(dir.filePath(QStringLiteral("data1.xlsx"))).contains(QStringLiteral("<t>Ссылка</t>")));
}

TEST(Workbook, OverlongCellIsCutAndCounted) {
  QTemporaryDir dir;
  const QString tab = dir.filePath(QStringLiteral("data2.tab"));
  const QString xlsx = dir.filePath(QStringLiteral("data2.xlsx"));
  QString addresses;
  for (int i = 0; i < 4000; ++i) addresses += QStringLiteral("ул. Длинная, %1|").arg(i);
  ASSERT_GT(addresses.size(), 32767);
  QStringList row = Row(QStringLiteral("Москва"), QStringLiteral("1"), QStringLiteral("4000"), QStringLiteral("7"));
  row[27] = addresses;
  row[2] = QStringLiteral("Управляющая \x01компания");  // a control character from the portal
  ASSERT_NO_FATAL_FAILURE(WriteResultFile(tab, {row}));
  const WorkbookOutcome out = ExportWorkbook(tab, xlsx);
  ASSERT_TRUE(out.ok) << out.error.toStdString();
  EXPECT_EQ(out.rows, 2);
  EXPECT_EQ(out.truncated, 1);
  const QString xml = SheetXml(xlsx);
  EXPECT_TRUE(xml.contains(QStringLiteral("ул. Длинная, 0|")));
  EXPECT_FALSE(xml.contains(QStringLiteral("ул. Длинная, 3999|")));
  EXPECT_FALSE(xml.contains(QChar(1)));
}

TEST(Workbook, MissingResultFileIsAnError) {
  QTemporaryDir dir;
  const WorkbookOutcome out =
      ExportWorkbook(dir.filePath(QStringLiteral("none.tab")), dir.filePath(QStringLiteral("none.xlsx")));
  EXPECT_FALSE(out.ok);
  EXPECT_FALSE(out.error.isEmpty());
  EXPECT_FALSE(QFile::exists(dir.filePath(QStringLiteral("none.xlsx"))));
}

TEST(Workbook, UnwritableWorkbookIsAnError) {
  QTemporaryDir dir;
  const QString tab = dir.filePath(QStringLiteral("data3.tab"));
  ASSERT_NO_FATAL_FAILURE(WriteResultFile(tab, {}));
  const QString xlsx = dir.filePath(QStringLiteral("no/such/dir/data3.xlsx"));
  const WorkbookOutcome out = ExportWorkbook(tab, xlsx);
  EXPECT_FALSE(out.ok);
  EXPECT_TRUE(out.error.contains(xlsx)) << out.error.toStdString();  // says which file
}

TEST(Workbook, OpenWithDesktopNeedsASession) {
  qunsetenv("DISPLAY");
  qunsetenv("WAYLAND_DISPLAY");
  EXPECT_FALSE(OpenWithDesktop(QStringLiteral("/nonexistent/data.xlsx")));
}

}  // namespace
