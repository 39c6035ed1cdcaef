#include "text/utf8lines.h"

#include <algorithm>

void Utf8Lines::Append(QByteArrayView utf8) {
  places_.push_back(bytes_.Append(utf8));
  sizes_.push_back(qint32(utf8.size()));
}

void Utf8Lines::Clear() {
  // The room goes back too: a cleared log starts small again.
  bytes_.Clear();
  std::vector<ByteBlocks::Place>().swap(places_);
  std::vector<qint32>().swap(sizes_);
}

QByteArrayView Utf8Lines::Utf8At(qsizetype i) const {
  return bytes_.At(places_[size_t(i)], sizes_[size_t(i)]);
}

QStringList Utf8Lines::Mid(qsizetype first, qsizetype count) const {
  QStringList texts;
  if (first < 0 || first >= Size() || count <= 0) return texts;
  const qsizetype last = first + std::min(count, Size() - first);
  texts.reserve(last - first);
  for (qsizetype i = first; i < last; ++i) texts.append(At(i));
  return texts;
}
