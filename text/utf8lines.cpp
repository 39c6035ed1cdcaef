#include "text/utf8lines.h"

#include <algorithm>

void Utf8Lines::Append(QByteArrayView utf8) {
  bytes_.append(utf8);
  ends_.push_back(bytes_.size());
}

void Utf8Lines::Clear() {
  // The room goes back too: a cleared log starts small again.
  bytes_ = QByteArray();
  std::vector<qsizetype>().swap(ends_);
}

QByteArrayView Utf8Lines::Utf8At(qsizetype i) const {
  const qsizetype start = i == 0 ? 0 : ends_[size_t(i - 1)];
  return QByteArrayView(bytes_.constData() + start, ends_[size_t(i)] - start);
}

QStringList Utf8Lines::Mid(qsizetype first, qsizetype count) const {
  QStringList texts;
  if (first < 0 || first >= Size() || count <= 0) return texts;
  const qsizetype last = first + std::min(count, Size() - first);
  texts.reserve(last - first);
  for (qsizetype i = first; i < last; ++i) texts.append(At(i));
  return texts;
}
