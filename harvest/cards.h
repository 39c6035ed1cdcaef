#pragma once
// The organisation card: the 22 card columns (result columns 3 to 24) from the card answer
// and the additional-information answer.

#include <QString>
#include <QStringList>
#include <optional>

#include "harvest/answer.h"

inline constexpr int kCardColumnCount = 22;

struct CardColumns {
  QString guid;         // the organisation GUID as the card gives it ("guid" read as text)
  QStringList columns;  // exactly 22 values, each cleaned (no TAB, CR or LF)
};

// The card columns of one card answer and its additional-information answer (empty when it
// was not requested). Nothing when the card answer is not a JSON object.
std::optional<CardColumns> ExtractCardColumns(const QByteArray& cardUtf8,
                                              const QByteArray& additionalUtf8);

// The week schedule of an array of day entries: the seven days Monday first and Sunday last,
// joined by "||" (always six separators, empty days keep their place). Each day reads like
// "понедельник: 09:00-18:00, перерыв 13:00-14:00", "суббота: выходной" or "вторник: --".
QString FormatWeekSchedule(const JsonValue& days);
