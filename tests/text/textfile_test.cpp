#include "text/textfile.h"
#include "text/utf8lines.h"

#include <gtest/gtest.h>

#include "tests/support/testplatform.h"

#include <QDir>
#include <QFile>
#include <QFileDevice>
#include <QLocale>
#include <QStringDecoder>
#include <QTemporaryDir>


#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <functional>

namespace {

const QStringList kNames{QStringLiteral("Москва"), QStringLiteral("Ёлкино"), QStringLiteral("Тверская область")};

QByteArray ReadBytes(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return QByteArray("<unreadable>");
  return file.readAll();
}

void WriteBytes(const QString& path, const QByteArray& bytes) {
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
  ASSERT_EQ(file.write(bytes), bytes.size());
}

QByteArray Utf16(const QString& text, bool bigEndian) {
  QByteArray bytes;
  for (QChar c : text) {
    const char hi = char(c.unicode() >> 8), lo = char(c.unicode() & 0xFF);
    bytes.append(bigEndian ? hi : lo);
    bytes.append(bigEndian ? lo : hi);
  }
  return bytes;
}

TEST(DecodeTextBytes, SameNamesFromEveryEncoding) {
  const QString text = kNames.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n");
  // Windows-1251 bytes spelled out, so the codec is checked against known values.
  const QByteArray ansi("\xcc\xee\xf1\xea\xe2\xe0\r\n\xa8\xeb\xea\xe8\xed\xee\r\n"
                        "\xd2\xe2\xe5\xf0\xf1\xea\xe0\xff \xee\xe1\xeb\xe0\xf1\xf2\xfc\r\n");
  const struct {
    const char* name;
    QByteArray bytes;
  } encodings[] = {
      {"utf-8 with mark", QByteArray("\xEF\xBB\xBF") + text.toUtf8()},
      {"utf-16 le", QByteArray("\xFF\xFE") + Utf16(text, false)},
      {"utf-16 be", QByteArray("\xFE\xFF") + Utf16(text, true)},
      {"windows-1251", ansi},
  };
  for (const auto& e : encodings) {
    SCOPED_TRACE(e.name);
    EXPECT_EQ(DecodeTextBytes(e.bytes), text);
    EXPECT_EQ(SplitTextLines(DecodeTextBytes(e.bytes)), kNames);
  }
}

TEST(DecodeTextBytes, MarksAndNul) {
  // The mark is not part of the text; without a mark UTF-8 bytes are read as Windows-1251.
  EXPECT_EQ(DecodeTextBytes(QByteArray("\xEF\xBB\xBF")), QString());
  EXPECT_EQ(DecodeTextBytes(QByteArray("\xFF\xFE")), QString());
  EXPECT_EQ(DecodeTextBytes(QByteArray()), QString());
  EXPECT_EQ(DecodeTextBytes(QByteArray("\xEF\xBB\xBF\xEF\xBB\xBFx")), QStringLiteral("\uFEFFx"));
  EXPECT_EQ(DecodeTextBytes(QByteArray("\xD0\x9C")), QStringLiteral("Рњ"));
  // A NUL ends the text, in every encoding (in UTF-16 a NUL is a zero code unit, not a zero byte).
  EXPECT_EQ(DecodeTextBytes(QByteArray("ab\0cd", 5)), QStringLiteral("ab"));
  EXPECT_EQ(DecodeTextBytes(QByteArray("\xEF\xBB\xBF" "\xD0\xB0\0b", 6)), QStringLiteral("а"));
  EXPECT_EQ(DecodeTextBytes(QByteArray("\xFF\xFE" "a\0\0\0b\0", 8)), QStringLiteral("a"));
  EXPECT_EQ(DecodeTextBytes(QByteArray("\xFE\xFF" "\0a\0\0\0b", 8)), QStringLiteral("a"));
  // A file cut inside a character keeps what is whole and shows the cut as a replacement.
  EXPECT_EQ(DecodeTextBytes(QByteArray("\xFF\xFE" "a\0b", 5)), QStringLiteral("a\uFFFD"));
  EXPECT_EQ(DecodeTextBytes(QByteArray("\xFE\xFF" "\0a\0", 5)), QStringLiteral("a\uFFFD"));
  EXPECT_EQ(DecodeTextBytes(QByteArray("\xEF\xBB\xBF" "a\xD0", 5)), QStringLiteral("a\uFFFD"));
}

TEST(SplitTextLines, LineBreaks) {
  const struct {
    const char* text;
    QStringList lines;
  } cases[] = {
      {"", {}},
      {"a", {"a"}},
      {"a\r\n", {"a"}},
      {"a\n", {"a"}},
      {"a\r", {"a"}},
      {"a\r\nb\nc\rd", {"a", "b", "c", "d"}},
      {"a\n\rb", {"a", "", "b"}},
      {"a\r\n\r\nb\r\n", {"a", "", "b"}},
      {"\r\n", {""}},
      {"\n\n", {"", ""}},
      {"a\r\r\nb", {"a", "", "b"}},
      {" x = y \r\n\r\n", {" x = y ", ""}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(std::string(c.text)));
    EXPECT_EQ(SplitTextLines(QString::fromLatin1(c.text)), c.lines);
  }
}

class TextFiles : public testing::Test {
 protected:
  QString Path(const QString& name) const { return dir_.filePath(name); }
  QTemporaryDir dir_;
};

TEST_F(TextFiles, ReadsLinesFromFile) {
  const QString path = Path(QStringLiteral("cities.txt"));
  WriteBytes(path, QByteArray("\xEF\xBB\xBF") + QStringLiteral("Москва=77$$$guid\r\n\r\nКазань\n").toUtf8());
  QStringList lines{QStringLiteral("stale")};
  const FileOutcome read = ReadTextLines(path, &lines);
  ASSERT_TRUE(read) << read.reason.toStdString();
  EXPECT_EQ(lines, (QStringList{QStringLiteral("Москва=77$$$guid"), QString(), QStringLiteral("Казань")}));

  WriteBytes(path, QByteArray());
  ASSERT_TRUE(ReadTextLines(path, &lines));
  EXPECT_TRUE(lines.isEmpty());
}

TEST_F(TextFiles, ReadFailureGivesTheReason) {
  QStringList lines;
  const FileOutcome missing = ReadTextLines(Path(QStringLiteral("missing.txt")), &lines);
  EXPECT_FALSE(missing);
  EXPECT_FALSE(missing.reason.isEmpty());

  // A folder is not a text file.
  ASSERT_TRUE(QDir(dir_.path()).mkdir(QStringLiteral("folder")));
  const FileOutcome folder = ReadTextLines(Path(QStringLiteral("folder")), &lines);
  EXPECT_FALSE(folder);
  EXPECT_FALSE(folder.reason.isEmpty());
}

TEST_F(TextFiles, ReadingSaysWhatANulCutOff) {
  const struct {
    const char* name;
    QByteArray bytes;
    QStringList lines;
    qsizetype droppedChars;
    qsizetype droppedLines;
  } cases[] = {
      {"whole", QByteArray("\xEF\xBB\xBF") + "a\r\nb\r\n", {"a", "b"}, 0, 0},
      {"NUL inside the second line", QByteArray("\xEF\xBB\xBF") + QByteArray("a\r\nb\0x\r\nc\r\nd\r\n", 14), {"a", "b"}, 10, 3},
      {"NUL at the start", QByteArray("\0a\r\n", 4), {}, 4, 1},
      {"NUL last", QByteArray("a\r\n\0", 4), {"a"}, 1, 1},
  };
  const QString path = Path(QStringLiteral("lists.dat"));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriteBytes(path, c.bytes);
    QStringList lines;
    TextReadLoss loss;
    ASSERT_TRUE(ReadTextLinesReporting(path, &lines, &loss));
    EXPECT_EQ(lines, c.lines);
    EXPECT_EQ(loss.droppedChars, c.droppedChars);
    EXPECT_EQ(loss.droppedLines, c.droppedLines);
    EXPECT_EQ(loss.missingBytes, 0);
    EXPECT_EQ(loss.Any(), c.droppedChars > 0);
    // The same lines as the plain reader gives.
    QStringList plain;
    ASSERT_TRUE(ReadTextLines(path, &plain));
    EXPECT_EQ(plain, c.lines);
  }

  EXPECT_EQ(TextLossMessage(path, TextReadLoss{}), QString());
  EXPECT_EQ(TextLossMessage(path, TextReadLoss{10, 3, 0}),
            QStringLiteral("Файл %1 прочитан не целиком: текст обрезан символом NUL, отброшено символов: 10, строк: 3").arg(QDir::toNativeSeparators(path)));
  EXPECT_EQ(TextLossMessage(path, TextReadLoss{0, 0, 7}),
            QStringLiteral("Файл %1 прочитан не целиком: не прочитано байт: 7").arg(QDir::toNativeSeparators(path)));

  TextReadLoss loss;
  const FileOutcome missing = ReadTextLinesReporting(Path(QStringLiteral("missing.dat")), nullptr, &loss);
  EXPECT_FALSE(missing);
  EXPECT_FALSE(missing.reason.isEmpty());
}

// Read a chunk at a time, a file gives the very lines and loss of the whole-file reader,
// wherever the chunks cut it: inside a CR LF, inside a Cyrillic letter, at a NUL.
TEST_F(TextFiles, ReadingInChunksGivesWhatTheWholeFileGives) {
  const QByteArray mark("\xEF\xBB\xBF");
  const QByteArray cyrillic = QStringLiteral("Москва=77").toUtf8();
  const QByteArray contents[] = {
      QByteArray(),
      mark,
      mark + "a\r\nb\r\n",
      mark + cyrillic + "\r\n\r\n" + cyrillic + "\n" + cyrillic + "\r" + cyrillic,
      mark + QByteArray("a\r\nb\0x\r\nc\r\nd\r\n", 14),
      QByteArray("\0a\r\n", 4),
      QByteArray("a\r\n\0", 4),
      QByteArray("a\r\n\0\r\n\r\n", 7),
      QByteArray("\xCC\xEE\xF1\xEA\xE2\xE0\r\n\xD0\r"),  // the ANSI code page, a lone CR last
      mark + "\xD0\r\n\xD0\x9C",                      // a letter cut by a line break
      mark + mark + "x\r\n" + mark + "y",               // marks after the first are text
      QByteArray("\xFF\xFE") + QByteArray("a\0\r\0\n\0b\0\0\0c\0", 12),  // UTF-16, NUL inside
      QByteArray("\r\r\n\n\r"),
  };
  const QString path = Path(QStringLiteral("context.dat"));
  for (const QByteArray& bytes : contents) {
    WriteBytes(path, bytes);
    QStringList whole;
    TextReadLoss wholeLoss;
    ASSERT_TRUE(ReadTextLinesReporting(path, &whole, &wholeLoss));
    for (const qsizetype chunk : {1, 2, 3, 5, 1 << 20}) {
      SCOPED_TRACE(bytes.toHex().toStdString() + " in chunks of " + std::to_string(chunk));
      QStringList lines;
      TextReadLoss loss;
      ASSERT_TRUE(ReadTextLinesEach(path, [&lines](const QString& line) { lines << line; }, &loss, chunk));
      EXPECT_EQ(lines, whole);
      EXPECT_EQ(loss.droppedChars, wholeLoss.droppedChars);
      EXPECT_EQ(loss.droppedLines, wholeLoss.droppedLines);
      EXPECT_EQ(loss.missingBytes, 0);
    }
  }
  const FileOutcome missing = ReadTextLinesEach(Path(QStringLiteral("missing.dat")), [](const QString&) {}, nullptr);
  EXPECT_FALSE(missing);
  EXPECT_FALSE(missing.reason.isEmpty());
}

TEST_F(TextFiles, WritesExactBytes) {
  const QString ansi = Path(QStringLiteral("selection.txt"));
  const QStringList lines{QStringLiteral("Москва"), QString(), QStringLiteral("a=b")};

  ASSERT_TRUE(WriteLinesAnsi(ansi, lines));
  EXPECT_EQ(ReadBytes(ansi), QByteArray("\xcc\xee\xf1\xea\xe2\xe0\r\n\r\na=b\r\n"));

  // An existing file is replaced, and an empty list gives zero bytes.
  ASSERT_TRUE(WriteLinesAnsi(ansi, {}));
  EXPECT_TRUE(QFile::exists(ansi));
  EXPECT_EQ(ReadBytes(ansi), QByteArray());

  // Nothing but the target is left in the folder.
  EXPECT_EQ(QDir(dir_.path()).entryList(QDir::Files | QDir::Hidden).size(), 1);
}

TEST_F(TextFiles, RoundTrip) {
  const QStringList lines{QStringLiteral("Республика Саха (Якутия)=14$$$a84b2ef0"), QString(),
                          QStringLiteral(" пробелы по краям "), QStringLiteral("ёЁ№«»—")};
  for (auto write : {&WriteLinesAnsi}) {
    const QString path = Path(QStringLiteral("round.txt"));
    const FileOutcome written = write(path, lines);
    ASSERT_TRUE(written) << written.reason.toStdString();
    QStringList back;
    const FileOutcome read = ReadTextLines(path, &back);
    ASSERT_TRUE(read) << read.reason.toStdString();
    EXPECT_EQ(back, lines);
  }
}

TEST(LogTimeStamp, MidnightShowsOnlyTheDate) {
  const QLocale locale = QLocale::system();
  const QDate date(2024, 3, 9);
  const QString shortDate = locale.toString(date, QLocale::ShortFormat);
  EXPECT_EQ(LogTimeStamp(QDateTime(date, QTime(0, 0))), shortDate);
  // One millisecond after midnight is no longer midnight.
  EXPECT_TRUE(LogTimeStamp(QDateTime(date, QTime(0, 0, 0, 1))).startsWith(shortDate + ' '));

  const QDateTime afternoon(date, QTime(14, 5, 7));
  const QString stamp = LogTimeStamp(afternoon);
  ASSERT_TRUE(stamp.startsWith(shortDate + ' ')) << stamp.toStdString();
  const QString time = stamp.mid(shortDate.size() + 1);
  EXPECT_TRUE(time.contains(QStringLiteral("05")) && time.contains(QStringLiteral("07")))
      << time.toStdString();
  // Wall-clock time only: no time-zone name after it.
  EXPECT_FALSE(time.contains(afternoon.timeZoneAbbreviation())) << time.toStdString();
  EXPECT_EQ(time, time.trimmed());
  EXPECT_FALSE(LogTimeStamp().isEmpty());
}

TEST(SignedTickCount, IsTheTickCountsBits) {
  const uint32_t before = TickCount();
  const int32_t middle = SignedTickCount();
  const uint32_t after = TickCount();
  // The same 32 bits (unsigned differences wrap with the counter).
  EXPECT_LE(uint32_t(middle) - before, after - before);
}

TEST(ExecutableDir, IsTheFolderOfThisProgram) {
  const QString dir = ExecutableDir();
  ASSERT_TRUE(dir.endsWith('/'));
  EXPECT_TRUE(QFileInfo(dir).isDir());
  EXPECT_TRUE(QFileInfo::exists(dir + QStringLiteral("text_tests")) ||
              QFileInfo::exists(dir + QStringLiteral("text_tests.exe")));
}

TEST(Messages, ExactTexts) {
  // Paths as the system writes them: with backslashes on Windows.
  const QString path = QStringLiteral("/opt/Сборщик/selection.txt");
  const QString shown = QDir::toNativeSeparators(path);
  EXPECT_EQ(CannotOpenFileMessage(path, QStringLiteral("No such file or directory")),
            QStringLiteral("Cannot open file \"%1\". No such file or directory").arg(shown));
  EXPECT_EQ(CannotCreateFileMessage(path, QStringLiteral("Permission denied")),
            QStringLiteral("Cannot create file \"%1\". Permission denied").arg(shown));
  // Percent signs in a path are not placeholders.
  EXPECT_EQ(CannotOpenFileMessage(QStringLiteral("/tmp/%2%1"), QStringLiteral("x")),
            QStringLiteral("Cannot open file \"") + QDir::toNativeSeparators(QStringLiteral("/tmp/%2%1")) + QStringLiteral("\". x"));
}

}  // namespace

TEST(Messages, ExceptionTextsAreReadAsUtf8) {
  // The job throws its own errors with UTF-8 texts; the system's code page must not matter.
  const std::string russian = QStringLiteral("строка не записана в файл: диск полон").toStdString();
  QString text;
  try {
    throw std::runtime_error(russian);
  } catch (...) {
    text = CurrentExceptionText(QStringLiteral("неизвестная ошибка"));
  }
  EXPECT_EQ(text, QStringLiteral("строка не записана в файл: диск полон"));
}

// The compact list gives back every text exactly, blocks included, and holds texts that a
// NUL or a character outside the BMP would cut or split elsewhere.
TEST(Utf8Lines, GivesBackWhatWasStored) {
  const QStringList texts{QStringLiteral("Запускаем code:4"), QString(), QStringLiteral("a\tb"),
                          QStringLiteral("до") + QChar(0) + QStringLiteral("после"),
                          QStringLiteral("\U0001F3E0 дом")};
  Utf8Lines lines;
  for (const QString& text : texts) lines.Append(text);
  ASSERT_EQ(lines.Size(), texts.size());
  for (qsizetype i = 0; i < texts.size(); ++i) EXPECT_EQ(lines.At(i), texts[i]) << i;
  EXPECT_EQ(lines.Mid(0, 1000), texts);
  EXPECT_EQ(lines.Mid(3, 1000), texts.mid(3));
  EXPECT_EQ(lines.Mid(1, 2), texts.mid(1, 2));
  EXPECT_TRUE(lines.Mid(5, 1).isEmpty());
  EXPECT_TRUE(lines.Mid(-1, 1).isEmpty());
  lines.Clear();
  EXPECT_TRUE(lines.IsEmpty());
  lines.Append(QStringLiteral("снова"));
  EXPECT_EQ(lines.Mid(0, 2), QStringList{QStringLiteral("снова")});

  // Past a block's room: lines that fill several blocks, and one larger than a block, which
  // gets one of its own, between them.
  lines.Clear();
  QStringList many;
  for (int i = 0; i < 20000; ++i) {
    many << (i == 7000 ? QString(ByteBlocks::kBlockBytes, QChar(u'я')) : QStringLiteral("строка номер %1").arg(i));
    lines.Append(many.last());
  }
  ASSERT_EQ(lines.Size(), many.size());
  EXPECT_EQ(lines.Mid(0, many.size()), many);
}
