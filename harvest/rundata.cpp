#include "harvest/rundata.h"

#include <algorithm>

size_t KeyValueList::SlotOf(QByteArrayView folded) const {
  const size_t mask = slots_.size() - 1;
  for (size_t slot = HomeOf(folded);; slot = (slot + 1) & mask) {
    const qint32 held = slots_[slot];
    if (held == 0) return slot;
    const Entry& e = entries_[size_t(held - 1)];
    if (bytes_.At(e.folded, e.foldedLength) == folded) return slot;
  }
}

size_t KeyValueList::LongestProbe() const {
  size_t longest = 0;
  const size_t mask = slots_.size() - 1;
  for (size_t slot = 0; slot < slots_.size(); ++slot) {
    if (slots_[slot] == 0) continue;
    const Entry& e = entries_[size_t(slots_[slot] - 1)];
    longest = std::max(longest, ((slot - HomeOf(bytes_.At(e.folded, e.foldedLength))) & mask) + 1);
  }
  return longest;
}

void KeyValueList::Rehash(size_t count) {
  slots_.assign(count, 0);
  for (size_t i = 0; i < entries_.size(); ++i) {
    const Entry& e = entries_[i];
    const size_t slot = SlotOf(bytes_.At(e.folded, e.foldedLength));
    if (slots_[slot] == 0) slots_[slot] = qint32(i + 1);  // only a key's first line
  }
}

void KeyValueList::Append(const QString& key, const QString& value) {
  // At most half the slots taken, so a probe ends soon.
  if (size_t(keys_ + 1) * 2 > slots_.size()) Rehash(std::max<size_t>(64, slots_.size() * 2));
  Entry e;
  const QByteArray keyBytes = key.toUtf8();
  const QByteArray folded = Folded(key);
  e.keyLength = qint32(keyBytes.size());
  e.key = bytes_.Append(keyBytes);
  // Most keys (GUIDs) fold to themselves: they keep no second copy.
  e.foldedLength = qint32(folded.size());
  e.folded = folded == keyBytes ? e.key : bytes_.Append(folded);
  // Organisations of one page come one after another with the same region name: they share
  // its bytes.
  const QByteArray valueBytes = value.toUtf8();
  e.valueLength = qint32(valueBytes.size());
  if (!entries_.empty() && bytes_.At(entries_.back().value, entries_.back().valueLength) == QByteArrayView(valueBytes))
    e.value = entries_.back().value;
  else
    e.value = bytes_.Append(valueBytes);
  entries_.push_back(e);
  // Only the first line of a key is ever answered: later duplicates take no slot.
  const size_t slot = SlotOf(folded);
  if (slots_[slot] == 0) {
    slots_[slot] = qint32(entries_.size());
    ++keys_;
  }
}

std::optional<QByteArrayView> KeyValueList::FindUtf8(const QString& key) const {
  if (slots_.empty()) return std::nullopt;
  const qint32 held = slots_[SlotOf(Folded(key))];
  if (held == 0) return std::nullopt;
  const Entry& e = entries_[size_t(held - 1)];
  return bytes_.At(e.value, e.valueLength);
}

QString KeyValueList::Lookup(const QString& key) const {
  const std::optional<QByteArrayView> value = FindUtf8(key);
  return value ? QString::fromUtf8(*value) : QString();
}

bool KeyValueList::Contains(const QString& key) const {
  return !slots_.empty() && slots_[SlotOf(Folded(key))] != 0;
}

void KeyValueList::Clear() {
  bytes_.Clear();
  std::vector<Entry>().swap(entries_);
  std::vector<qint32>().swap(slots_);
  keys_ = 0;
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

