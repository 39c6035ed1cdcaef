#pragma once
// A long list of texts kept as UTF-8, end to end, with where each one ends. A run's log of a
// hundred thousand lines takes the room of its bytes and 8 more a line; as QStrings it would
// take two bytes a character and some 50 a line on top.

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringList>
#include <vector>

class Utf8Lines {
 public:
  void Append(const QString& text) { Append(QByteArrayView(text.toUtf8())); }
  void Append(QByteArrayView utf8);
  void Clear();

  qsizetype Size() const { return qsizetype(ends_.size()); }
  bool IsEmpty() const { return ends_.empty(); }
  QByteArrayView Utf8At(qsizetype i) const;
  QString At(qsizetype i) const { return QString::fromUtf8(Utf8At(i)); }
  // Texts from `first` on, at most `count` of them (fewer at the end, none past it).
  QStringList Mid(qsizetype first, qsizetype count) const;

 private:
  QByteArray bytes_;
  std::vector<qsizetype> ends_;
};
