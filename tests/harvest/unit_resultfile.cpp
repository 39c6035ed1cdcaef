// The result file writer and the workbook export.

#include <gtest/gtest.h>

#include <QFile>
#include <QFileInfo>
#include <QDir>
#include <QRegularExpression>
#include <QTemporaryDir>

#include "harvest/resultfile.h"
#include "harvest/workbook.h"
#include "tests/support/testplatform.h"
#include "tests/support/zipread.h"
#include "tests/support/files.h"
#include "text/textfile.h"

namespace {

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
  const FileOutcome opened = file.Open(path);
  ASSERT_TRUE(opened) << opened.reason.toStdString();
  EXPECT_TRUE(file.Close());
  EXPECT_EQ(FileBytes(path), QByteArray("\xEF\xBB\xBF") + titles + "\r\n");
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
  const FileOutcome opened = file.Open(path);
  ASSERT_TRUE(opened) << opened.reason.toStdString();
  EXPECT_TRUE(file.IsOpen());
  EXPECT_EQ(FileBytes(path), HeaderBytes());

  ASSERT_TRUE(file.WriteRow({QStringLiteral("Москва"), QStringLiteral("g1"), QStringLiteral("x")}));
  // The row is in the file before the file is closed.
  EXPECT_EQ(FileBytes(path), HeaderBytes() + QByteArray("Москва\tg1\tx\r\n"));
  ASSERT_TRUE(file.WriteRow({QString(), QString()}));
  EXPECT_TRUE(file.Close());
  EXPECT_FALSE(file.IsOpen());
  EXPECT_EQ(FileBytes(path), HeaderBytes() + QByteArray("Москва\tg1\tx\r\n\t\r\n"));
  const FileOutcome late = file.WriteRow({QStringLiteral("late")});
  EXPECT_FALSE(late);
  EXPECT_EQ(late.reason, QStringLiteral("файл результатов не открыт"));
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
  ASSERT_TRUE(file.Open(path));
  QStringList fields;
  // A row larger than a page of the file system, so that part of it fits before the disk is full.
  for (int i = 0; i < 30; ++i) fields << QStringLiteral("поле %1 ").arg(i).repeated(40);
  const int written = 3;
  for (int i = 0; i < written; ++i) ASSERT_TRUE(file.WriteRow(fields));
  disk.Fill();
  const FileOutcome full = file.WriteRow(fields);
  EXPECT_FALSE(full);
  EXPECT_FALSE(full.reason.isEmpty());
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

TEST(ResultFile, CutBackLandsOnlyOnTheEndOfARow) {
  QTemporaryDir dir;
  const QString path = dir.path() + QStringLiteral("/data2.tab");
  const qint64 header = ResultFile::HeaderSize();
  qint64 oneRow = 0, twoRows = 0;
  const auto write = [&] {
    ResultFile file;
    ASSERT_TRUE(file.Open(path));
    ASSERT_EQ(file.Size(), header);
    ASSERT_TRUE(file.WriteRow(QStringList(30, QStringLiteral("a"))));
    oneRow = file.Size();
    ASSERT_TRUE(file.WriteRow(QStringList(30, QStringLiteral("bb"))));
    twoRows = file.Size();
    ASSERT_TRUE(file.Close());
  };
  write();
  struct Case {
    const char* what;
    qint64 length;      // the recorded length
    qint64 fileLength;  // the file is first cut to this (a file shorter than its record)
    qint64 after;       // what is left
  };
  const Case cases[] = {
      {"at a row's end", oneRow, -1, oneRow},
      {"nothing to cut", twoRows, -1, twoRows},
      {"inside a row: back to the row before", oneRow + 5, -1, oneRow},
      {"inside the first row: back to the header", header + 1, -1, header},
      {"inside the header: the header stays", 3, -1, header},
      {"a file shorter than its record, ending in half a row", twoRows, twoRows - 4, oneRow},
      {"a file shorter than its record, ending on a row", twoRows + 100, oneRow, oneRow},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    write();
    if (c.fileLength >= 0) {
      ASSERT_TRUE(QFile::resize(path, c.fileLength));
    }
    const qint64 size = QFileInfo(path).size();
    ResultFile::Cut cut;
    const FileOutcome cutBack = ResultFile::CutBack(path, c.length, &cut);
    ASSERT_TRUE(cutBack) << cutBack.reason.toStdString();
    EXPECT_EQ(cut.before, size);
    EXPECT_EQ(cut.after, c.after);
    EXPECT_EQ(QFileInfo(path).size(), c.after);
    EXPECT_TRUE(FileBytes(path).endsWith("\r\n"));
  }
  // A file without its whole header is left alone, as is one that is not there.
  ASSERT_TRUE(QFile::resize(path, header - 1));
  ResultFile::Cut cut;
  const FileOutcome noHeader = ResultFile::CutBack(path, 0, &cut);
  EXPECT_FALSE(noHeader);
  EXPECT_EQ(noHeader.reason, QStringLiteral("в файле нет целой строки заголовка"));
  EXPECT_EQ(QFileInfo(path).size(), header - 1);
  const FileOutcome none = ResultFile::CutBack(dir.path() + QStringLiteral("/none.tab"), 0, &cut);
  EXPECT_FALSE(none);
  EXPECT_FALSE(none.reason.isEmpty());
}

TEST(ResultFile, SecondWriterIsRefusedAndBadPathReported) {
  QTemporaryDir dir;
  const QString path = dir.filePath(QStringLiteral("data1.tab"));
  ResultFile first;
  ASSERT_TRUE(first.Open(path));
  ASSERT_TRUE(first.WriteRow({QStringLiteral("kept")}));

  ResultFile second;
  const FileOutcome refused = second.Open(path);
  EXPECT_FALSE(refused);
  EXPECT_EQ(refused.reason, SysFile::InUseReason());
  EXPECT_TRUE(refused.reason.contains(QStringLiteral("закройте")));
  EXPECT_FALSE(second.IsOpen());
  // The refused writer did not empty the file.
  EXPECT_EQ(FileBytes(path), HeaderBytes() + "kept\r\n");
  EXPECT_TRUE(first.Close());
  EXPECT_TRUE(second.Open(path));

  // The program's own reason, in Russian, with what to do.
  ResultFile bad;
  const FileOutcome noFolder = bad.Open(dir.filePath(QStringLiteral("no/such/dir/data.tab")));
  EXPECT_FALSE(noFolder);
  EXPECT_TRUE(noFolder.reason.startsWith(QStringLiteral("папка не найдена; проверьте"))) << noFolder.reason.toStdString();
}

// One part of the workbook, read back out of it.
QString WorkbookPart(const QString& xlsx, const QString& part) {
  QByteArray bytes;
  QString error;
  EXPECT_TRUE(ReadZipMember(xlsx, part, &bytes, &error)) << part.toStdString() << ": " << error.toStdString();
  return QString::fromUtf8(bytes);
}

// The sheet's XML, read back out of the workbook.
QString SheetXml(const QString& xlsx) {
  return WorkbookPart(xlsx, QStringLiteral("xl/worksheets/sheet1.xml"));
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
  const FileOutcome opened = file.Open(path);
  ASSERT_TRUE(opened) << opened.reason.toStdString();
  for (const QStringList& row : rows) {
    const FileOutcome written = file.WriteRow(row);
    ASSERT_TRUE(written) << written.reason.toStdString();
  }
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
  ASSERT_TRUE(out.ok) << out.reason.toStdString();
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

TEST(Workbook, ExportIntoAFolderWithCyrillicLettersAndABlank) {
  // The workbook writer opens its file by a narrow name: the folder's letters must survive.
  QTemporaryDir tmp;
  ASSERT_TRUE(QDir(tmp.path()).mkdir(QStringLiteral("Мои программы")));
  const QString dir = tmp.path() + QStringLiteral("/Мои программы/");
  ASSERT_NO_FATAL_FAILURE(WriteResultFile(dir + QStringLiteral("data1.tab"), {}));
  const WorkbookOutcome out = ExportWorkbook(dir + QStringLiteral("data1.tab"), dir + QStringLiteral("data1.xlsx"));
  ASSERT_TRUE(out.ok) << out.reason.toStdString();
  EXPECT_TRUE(SheetXml(dir + QStringLiteral("data1.xlsx")).contains(QStringLiteral("Регион")));
}

TEST(Workbook, HeaderOnlyFileGivesOneRow) {
  QTemporaryDir dir;
  const QString tab = dir.filePath(QStringLiteral("data1.tab"));
  ASSERT_NO_FATAL_FAILURE(WriteResultFile(tab, {}));
  const WorkbookOutcome out = ExportWorkbook(tab, dir.filePath(QStringLiteral("data1.xlsx")));
  ASSERT_TRUE(out.ok) << out.reason.toStdString();
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
  ASSERT_TRUE(out.ok) << out.reason.toStdString();
  EXPECT_EQ(out.rows, 2);
  EXPECT_EQ(out.truncated, 1);
  const QString xml = SheetXml(xlsx);
  EXPECT_TRUE(xml.contains(QStringLiteral("ул. Длинная, 0|")));
  EXPECT_FALSE(xml.contains(QStringLiteral("ул. Длинная, 3999|")));
  EXPECT_FALSE(xml.contains(QChar(1)));
}

// Cells go to the workbook as the file's UTF-8 bytes: a damaged line is read as the rest of
// the program reads text, and a long value is measured in characters, not bytes.
TEST(Workbook, DamagedBytesAreReplacedAndLongCellsAreCountedInCharacters) {
  QTemporaryDir dir;
  const QString tab = dir.filePath(QStringLiteral("data11.tab"));
  const QString xlsx = dir.filePath(QStringLiteral("data11.xlsx"));
  {
    QFile file(tab);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    const QByteArray full = QString(32767, QChar(u'Ж')).toUtf8();  // a full cell, twice as many bytes
    QByteArray bytes = HeaderBytes();
    bytes += "Москва\tg1\tбитый \xff\xc0\xaf байт" + QByteArray(26, '\t') + "https://portal.test/\xed\xa0\x80\r\n";
    bytes += "Москва\tg2\t" + full + QByteArray(27, '\t') + "\r\n";
    ASSERT_EQ(file.write(bytes), bytes.size());
  }
  const WorkbookOutcome out = ExportWorkbook(tab, xlsx);
  ASSERT_TRUE(out.ok) << out.reason.toStdString();
  EXPECT_EQ(out.rows, 3);
  EXPECT_EQ(out.truncated, 0);
  QByteArray xml;  // the bytes as written, not read as text
  QString error;
  ASSERT_TRUE(ReadZipMember(xlsx, QStringLiteral("xl/worksheets/sheet1.xml"), &xml, &error)) << error.toStdString();
  EXPECT_TRUE(xml.contains("<c r=\"C2\" t=\"inlineStr\"><is><t>битый \xef\xbf\xbd"));
  EXPECT_FALSE(xml.contains("\xff"));
  EXPECT_FALSE(xml.contains("\xed\xa0\x80"));
  EXPECT_TRUE(xml.contains("<c r=\"C3\" t=\"inlineStr\"><is><t>" + QString(32767, QChar(u'Ж')).toUtf8() + "</t>"));
}

TEST(Workbook, MissingResultFileIsAnError) {
  QTemporaryDir dir;
  const WorkbookOutcome out =
      ExportWorkbook(dir.filePath(QStringLiteral("none.tab")), dir.filePath(QStringLiteral("none.xlsx")));
  EXPECT_FALSE(out.ok);
  EXPECT_FALSE(out.reason.isEmpty());
  EXPECT_FALSE(QFile::exists(dir.filePath(QStringLiteral("none.xlsx"))));
}

TEST(Workbook, UnwritableWorkbookIsAnError) {
  QTemporaryDir dir;
  const QString tab = dir.filePath(QStringLiteral("data3.tab"));
  ASSERT_NO_FATAL_FAILURE(WriteResultFile(tab, {}));
  const QString xlsx = dir.filePath(QStringLiteral("no/such/dir/data3.xlsx"));
  const WorkbookOutcome out = ExportWorkbook(tab, xlsx);
  EXPECT_FALSE(out.ok);
  EXPECT_TRUE(out.reason.contains(QDir::toNativeSeparators(xlsx))) << out.reason.toStdString();  // says which file
}

// Spreadsheet column letters of a zero-based index.
QString ColumnName(int col) {
  QString name;
  for (++col; col > 0; col = (col - 1) / 26) name.prepend(QChar(u'A' + (col - 1) % 26));
  return name;
}

TEST(Workbook, DatesAndLinksAreTypedOtherTextStaysText) {
  struct Case {
    const char* date;
    const char* link;
    bool dateIsDate;  // else kept as the text it is
    int serial;       // the spreadsheet's day number when it is a date
    bool linkIsLink;
  } cases[] = {
      {"12.03.2015", "https://portal.test/#!/organizationView/g1", true, 42075, true},
      {"2015-03-12T00:00:00", "http://portal.test/plain", true, 42075, true},
      {"01.01.1900", "HTTPS://PORTAL.TEST/UPPER", true, 1, true},
      {"31.02.2015", "external:c:/secret.xlsx", false, 0, false},    // no such day; a file link
      {"15.3..12.0", "internal:data!A1", false, 0, false},           // a mangled date
      {"12.03.1899", "https://portal.test/with blank", false, 0, false},  // before spreadsheet days
      {"2015-3-12", "portal.test/no-scheme", false, 0, false},
      {"нет даты", "", false, 0, false},
      {"2015-03-12T00:00:00.000", "", true, 42075, false},
      {"2015-03-12T00:00", "", true, 42075, false},
      {"2015-03-12T10:00:00", "", false, 0, false},  // a time of day is not a day
      {"2015-03-12T00:00:00.", "", false, 0, false},
  };
  QTemporaryDir dir;
  const QString tab = dir.filePath(QStringLiteral("data8.tab"));
  const QString xlsx = dir.filePath(QStringLiteral("data8.xlsx"));
  QList<QStringList> rows;
  for (const Case& c : cases) {
    QStringList row = Row(QStringLiteral("Москва"), QStringLiteral("1"), QStringLiteral("Нет домов"),
                          QStringLiteral("Нет домов"));
    row[5] = QString::fromUtf8(c.date);
    row[29] = QString::fromUtf8(c.link);
    rows.append(row);
  }
  // A link longer than a HYPERLINK formula takes, one longer than a spreadsheet keeps, and one
  // with a double quote.
  QStringList longLink = rows.last();
  const QString medium = QStringLiteral("https://portal.test/#!/") + QString(300, u'm');
  longLink[29] = medium;
  rows.append(longLink);
  longLink[29] = QStringLiteral("https://portal.test/") + QString(2100, u'x');
  rows.append(longLink);
  longLink[29] = QStringLiteral("https://portal.test/a\"b");
  rows.append(longLink);
  ASSERT_NO_FATAL_FAILURE(WriteResultFile(tab, rows));
  const QByteArray tabBefore = FileBytes(tab);

  const WorkbookOutcome out = ExportWorkbook(tab, xlsx);
  ASSERT_TRUE(out.ok) << out.reason.toStdString();
  EXPECT_EQ(out.rows, int(rows.size()) + 1);
  EXPECT_EQ(FileBytes(tab), tabBefore);  // the result file is only read

  const QString xml = SheetXml(xlsx);
  const QString rels = WorkbookPart(xlsx, QStringLiteral("xl/worksheets/_rels/sheet1.xml.rels"));
  const QString styles = WorkbookPart(xlsx, QStringLiteral("xl/styles.xml"));
  // The date style: the number format dd.mm.yyyy, used by the date cells.
  const QRegularExpression numFmt(QStringLiteral(R"re(<numFmt numFmtId="(\d+)" formatCode="dd\.mm\.yyyy"/>)re"));
  const auto fmt = numFmt.match(styles);
  ASSERT_TRUE(fmt.hasMatch()) << styles.toStdString();
  for (qsizetype i = 0; i < std::ssize(cases); ++i) {
    const Case& c = cases[i];
    const QString cell = QStringLiteral("F%1").arg(i + 2);
    SCOPED_TRACE(c.date);
    if (c.dateIsDate) {
      const QRegularExpression dateCell(
          QStringLiteral(R"(<c r="%1" s="\d+"><v>%2</v></c>)").arg(cell).arg(c.serial));
      EXPECT_TRUE(dateCell.match(xml).hasMatch()) << xml.toStdString();
    } else {
      EXPECT_TRUE(xml.contains(QStringLiteral(R"(<c r="%1" t="inlineStr"><is><t>%2</t></is></c>)")
                                   .arg(cell, QString::fromUtf8(c.date))));
    }
    // A link is a HYPERLINK formula that shows the address; anything else is the text it is.
    const QString link = QString::fromUtf8(c.link);
    const QString linkCell = QStringLiteral(R"(<c r="AD%1" s="\d+" t="str"><f>HYPERLINK\("%2"\)</f><v>%2</v></c>)")
                                 .arg(i + 2)
                                 .arg(QRegularExpression::escape(link));
    EXPECT_EQ(QRegularExpression(linkCell).match(xml).hasMatch(), c.linkIsLink) << c.link;
    if (!c.linkIsLink && !link.isEmpty()) {
      EXPECT_TRUE(xml.contains(QStringLiteral(R"(<c r="AD%1" t="inlineStr"><is><t>%2</t></is></c>)").arg(i + 2).arg(link)))
          << c.link;
    }
  }
  // The link formulas have the look of links: blue and underlined.
  const QRegularExpression linkStyle(QStringLiteral(R"(<font><u/>.*<color rgb="FF0000FF"/>)"));
  EXPECT_TRUE(linkStyle.match(styles).hasMatch()) << styles.toStdString();
  // Past the formula's 255 characters, the library's own link: the address in the relations,
  // the part after "#" with the link.
  const int mediumRow = int(std::ssize(cases)) + 2;
  EXPECT_TRUE(xml.contains(QStringLiteral(R"(<hyperlink ref="AD%1")").arg(mediumRow))) << xml.toStdString();
  EXPECT_TRUE(xml.contains(QStringLiteral(R"(location="!/%1")").arg(QString(300, u'm'))));
  EXPECT_TRUE(rels.contains(QStringLiteral(R"(Target="https://portal.test/" TargetMode="External")")))
      << rels.toStdString();
  EXPECT_EQ(rels.count(QStringLiteral("TargetMode=\"External\"")), 1);
  EXPECT_EQ(xml.count(QStringLiteral("<hyperlink ")), 1);
  // Past what a spreadsheet keeps at all: text.
  EXPECT_TRUE(xml.contains(QStringLiteral("<t>https://portal.test/%1</t>").arg(QString(2100, u'x'))));
  // A double quote is doubled inside the formula and kept in the shown address.
  EXPECT_TRUE(xml.contains(QStringLiteral(R"(<f>HYPERLINK("https://portal.test/a""b")</f><v>https://portal.test/a"b</v>)")))
      << xml.toStdString();
  // "Нет домов" stays text.
  EXPECT_TRUE(xml.contains(QStringLiteral(R"(<c r="Y2" t="inlineStr"><is><t>Нет домов</t></is></c>)")));
}

TEST(Workbook, EveryColumnIsAtLeastAsWideAsItsTitle) {
  QTemporaryDir dir;
  const QString tab = dir.filePath(QStringLiteral("data9.tab"));
  const QString xlsx = dir.filePath(QStringLiteral("data9.xlsx"));
  ASSERT_NO_FATAL_FAILURE(WriteResultFile(tab, {}));
  ASSERT_TRUE(ExportWorkbook(tab, xlsx).ok);
  const QString xml = SheetXml(xlsx);
  const QStringList titles = ResultFile::HeaderLine().split(u'\t');
  for (int c = 0; c < titles.size(); ++c) {
    const QRegularExpression col(
        QStringLiteral(R"re(<col min="%1" max="%1" width="([\d.]+)")re").arg(c + 1));
    const auto m = col.match(xml);
    ASSERT_TRUE(m.hasMatch()) << ColumnName(c).toStdString();
    EXPECT_GE(m.captured(1).toDouble(), titles[c].size() + 1) << titles[c].toStdString();
  }
}

TEST(Workbook, MoreLinksThanTheSheetsOwnLimitAreAllLinks) {
  // A sheet holds 65,530 links of the library's kind; link formulas have no such limit.
  constexpr int kRows = 65530 + 3;
  QTemporaryDir dir;
  const QString tab = dir.filePath(QStringLiteral("data10.tab"));
  const QString xlsx = dir.filePath(QStringLiteral("data10.xlsx"));
  {
    QFile file(tab);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    QByteArray bytes = HeaderBytes();
    const QByteArray prefix = QByteArray(29, '\t') + "https://portal.test/#!/organizationView/";
    for (int i = 0; i < kRows; ++i) bytes += prefix + QByteArray::number(i) + "\r\n";
    ASSERT_EQ(file.write(bytes), bytes.size());
  }
  const WorkbookOutcome out = ExportWorkbook(tab, xlsx);
  ASSERT_TRUE(out.ok) << out.reason.toStdString();
  EXPECT_EQ(out.rows, kRows + 1);
  const QString xml = SheetXml(xlsx);
  EXPECT_EQ(xml.count(QStringLiteral("<f>HYPERLINK(")), kRows);
  EXPECT_EQ(xml.count(QStringLiteral("<hyperlink ")), 0);
  EXPECT_TRUE(xml.contains(QStringLiteral("organizationView/%1\")</f>").arg(kRows - 1)));
}

}  // namespace
