#pragma once
// The data of one run that the answer handlers read and extend, and the plain outcome of a
// finished worker that they read. Owned by the job thread; no locking of its own.

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>
#include <cstdint>

// Lines made of a key, "=" and a value, in insertion order, duplicates kept. A lookup
// compares keys without regard to letter case and returns the value of the first matching
// line, or an empty text. Keys and values are kept as UTF-8: a country's 30,000 cards are
// only stored and written back, and most of their columns are digits and Latin letters,
// which take half the room of UTF-16 there.
class KeyValueList {
 public:
  void Append(const QString& key, const QString& value);
  QString Lookup(const QString& key) const;
  QByteArray LookupUtf8(const QString& key) const;
  bool Contains(const QString& key) const;
  qsizetype Count() const { return entries_.size(); }
  QString KeyAt(qsizetype i) const { return QString::fromUtf8(entries_.at(i).first); }
  QString ValueAt(qsizetype i) const { return QString::fromUtf8(entries_.at(i).second); }
  void Clear();

 private:
  static QByteArray Folded(const QString& key) { return key.toCaseFolded().toUtf8(); }

  QList<QPair<QByteArray, QByteArray>> entries_;
  QHash<QByteArray, qsizetype> first_;  // case-folded key (UTF-8) -> index of its first line
};

// A list kept sorted without regard to letter case; an entry equal to one already present
// (ignoring case) is not added.
class SortedUniqueList {
 public:
  bool Add(const QString& entry);  // false when an equal entry is present
  bool Contains(const QString& entry) const;
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

  int32_t firmscounter = 0;
  int32_t housescounter = 0;
  int32_t FirmsWritten = 0;
};
