#include "harvest/rundata.h"

#include <algorithm>

namespace {

// toUtf8() reserves three bytes for every UTF-16 unit; a kept text gives the rest back.
QByteArray KeptUtf8(const QString& text) {
  QByteArray bytes = text.toUtf8();
  bytes.squeeze();
  return bytes;
}

}  // namespace

void KeyValueList::Append(const QString& key, const QString& value) {
  const qsizetype index = entries_.size();
  QByteArray keyBytes = KeptUtf8(key);
  // Only the first line of a key is ever answered, so later duplicates keep no index.
  QByteArray folded = Folded(key);
  if (!first_.contains(folded)) {
    // Most keys (GUIDs) fold to themselves: the index then shares the line's bytes.
    if (folded == keyBytes) folded = keyBytes;
    else folded.squeeze();
    first_.insert(std::move(folded), index);
  }
  // Organisations of one page come one after another with the same region name: they share
  // its bytes, as they shared the text before.
  QByteArray valueBytes = KeptUtf8(value);
  if (!entries_.isEmpty() && entries_.last().second == valueBytes) valueBytes = entries_.last().second;
  entries_.append({std::move(keyBytes), std::move(valueBytes)});
}

QByteArray KeyValueList::LookupUtf8(const QString& key) const {
  const auto it = first_.constFind(Folded(key));
  return it == first_.cend() ? QByteArray() : entries_.at(*it).second;
}

QString KeyValueList::Lookup(const QString& key) const {
  return QString::fromUtf8(LookupUtf8(key));
}

bool KeyValueList::Contains(const QString& key) const {
  return first_.contains(Folded(key));
}

void KeyValueList::Clear() {
  entries_.clear();
  first_.clear();
}

namespace {

bool LessIgnoringCase(const QString& a, const QString& b) {
  return QString::compare(a, b, Qt::CaseInsensitive) < 0;
}

}  // namespace

bool SortedUniqueList::Add(const QString& entry) {
  const auto it = std::lower_bound(items_.begin(), items_.end(), entry, LessIgnoringCase);
  if (it != items_.end() && QString::compare(*it, entry, Qt::CaseInsensitive) == 0) return false;
  items_.insert(it, entry);
  return true;
}

bool SortedUniqueList::Contains(const QString& entry) const {
  const auto it = std::lower_bound(items_.cbegin(), items_.cend(), entry, LessIgnoringCase);
  return it != items_.cend() && QString::compare(*it, entry, Qt::CaseInsensitive) == 0;
}
