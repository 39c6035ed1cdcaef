#include "harvest/rundata.h"

#include <algorithm>

void KeyValueList::Append(const QString& key, const QString& value) {
  const qsizetype index = entries_.size();
  entries_.append({key, value});
  // Only the first line of a key is ever answered, so later duplicates keep no index.
  const QString folded = key.toCaseFolded();
  if (!first_.contains(folded)) first_.insert(folded, index);
}

QString KeyValueList::Lookup(const QString& key) const {
  const auto it = first_.constFind(key.toCaseFolded());
  return it == first_.cend() ? QString() : entries_.at(*it).second;
}

bool KeyValueList::Contains(const QString& key) const {
  return first_.contains(key.toCaseFolded());
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
