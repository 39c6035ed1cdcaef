#pragma once
// The data of one run that the answer handlers read and extend, and the plain outcome of a
// finished worker that they read. Owned by the job thread; no locking of its own.

#include <QByteArray>
#include <QByteArrayView>
#include <QHash>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>
#include <vector>

#include "harvest/harvestunderway.h"
#include "text/byteblocks.h"

// Lines made of a key, "=" and a value, in insertion order, duplicates kept. A lookup
// compares keys without regard to letter case and returns the value of the first matching
// line, or an empty text. Keys and values are kept as UTF-8 in blocks that never move
// (ByteBlocks), with an open-addressing index by the folded key: a country's 30,000 cards
// are only stored and written back, so they cost their bytes and some 50 more each, not a
// heap block per key, value and index entry.
class KeyValueList {
 public:
  void Append(const QString& key, const QString& value);
  QString Lookup(const QString& key) const;
  // The value's UTF-8 bytes where they are kept (valid until the list changes); none when
  // the key is absent.
  std::optional<QByteArrayView> FindUtf8(const QString& key) const;
  bool Contains(const QString& key) const;
  qsizetype Count() const { return qsizetype(entries_.size()); }
  QString KeyAt(qsizetype i) const {
    const Entry& e = entries_[size_t(i)];
    return QString::fromUtf8(bytes_.At(e.key, e.keyLength));
  }
  QString ValueAt(qsizetype i) const {
    const Entry& e = entries_[size_t(i)];
    return QString::fromUtf8(bytes_.At(e.value, e.valueLength));
  }
  void Clear();
  // The most slots a look-up of a present key passes before it finds it: how well the keys
  // spread over the index.
  size_t LongestProbe() const;

 private:
  struct Entry {
    ByteBlocks::Place key = 0, value = 0, folded = 0;
    qint32 keyLength = 0, valueLength = 0, foldedLength = 0;
  };
  static QByteArray Folded(const QString& key) { return key.toCaseFolded().toUtf8(); }
  // The slot of a folded key: the one holding its first line, or the empty one it would take.
  size_t SlotOf(QByteArrayView folded) const;
  // Where a folded key's probe starts. Seeded per process: keys read from the portal cannot
  // be chosen to fall on one slot and turn every look-up into a walk of the whole list.
  size_t HomeOf(QByteArrayView folded) const { return qHash(folded, QHashSeed::globalSeed()) & (slots_.size() - 1); }
  void Rehash(size_t count);

  ByteBlocks bytes_;            // keys, values and folded keys that differ from their key
  std::vector<Entry> entries_;
  std::vector<qint32> slots_;   // index + 1 of a key's first line; 0: empty
  qsizetype keys_ = 0;          // distinct folded keys
};

// A list kept sorted without regard to letter case; an entry equal to one already present
// (ignoring case) is not added.
class SortedUniqueList {
 public:
  bool Add(const QString& entry);  // false when an equal entry is present
  void Clear() { items_.clear(); }
  const QStringList& Items() const { return items_; }
  qsizetype Count() const { return items_.size(); }
  void Reserve(qsizetype n) { items_.reserve(n); }

 private:
  QStringList items_;
};

// What the job reads of a finished worker, copied out at the hand-over.
struct WorkerOutcome {
  int Code = 0;
  int result = 0;
  QString url;
  QString statusText;
  QByteArray html;   // the answer's bytes (UTF-8), parsed by the handler as they are
  QByteArray html2;  // the additional information of a card
  QString regionguid;   // region GUID (RegionCount, SearchPage)
  QString regionguid2;  // region code (RegionCount, SearchPage)
  QString orgguid;      // organisation GUID (HouseCount, HousePage)
  QString task;         // the task string as it stood in the queue
};

// The job's working lists and counters.
struct RunData {
  QString baseUrl;  // the portal's root address, closing "/" included

  QStringList PendingList;  // the task queue: taken from the front, appended at the back
  SortedUniqueList AllKnownList;
  SortedUniqueList SkipList;
  KeyValueList RegionNames;      // region key -> region name as shown in the list
  KeyValueList OrgRegions;       // organisation GUID -> region name
  KeyValueList OrgCards;         // organisation GUID -> 22 card columns joined by TAB
  HarvestUnderWay Harvest;       // the harvest this run belongs to

  int32_t firmscounter = 0;
  int32_t housescounter = 0;
  int32_t FirmsWritten = 0;
};
