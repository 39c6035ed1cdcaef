#pragma once
// A long list of texts kept as UTF-8 in blocks that never move (ByteBlocks), with where each
// one is. A run's log of a hundred thousand lines takes the room of its bytes and 12 more a
// line; as QStrings it would take two bytes a character and some 50 a line on top.

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringList>
#include <vector>

#include "text/byteblocks.h"

class Utf8Lines {
 public:
  void Append(const QString& text) { Append(QByteArrayView(text.toUtf8())); }
  void Append(QByteArrayView utf8);
  void Clear();

  qsizetype Size() const { return qsizetype(places_.size()); }
  bool IsEmpty() const { return places_.empty(); }
  QByteArrayView Utf8At(qsizetype i) const;
  QString At(qsizetype i) const { return QString::fromUtf8(Utf8At(i)); }
  // Texts from `first` on, at most `count` of them (fewer at the end, none past it).
  QStringList Mid(qsizetype first, qsizetype count) const;

 private:
  ByteBlocks bytes_;
  std::vector<ByteBlocks::Place> places_;
  std::vector<qint32> sizes_;
};
