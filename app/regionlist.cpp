#include "app/regionlist.h"

#include <QCollator>
#include <QCollatorSortKey>
#include <QItemSelection>
#include <QListWidget>
#include <QSet>
#include <algorithm>
#include <vector>

RegionItem ParseRegionLine(const QString& line) {
  const qsizetype eq = line.indexOf(QLatin1Char('='));
  if (eq < 0) return RegionItem{line, QString()};
  return RegionItem{line.left(eq), line.mid(eq + 1)};
}

QList<bool> MatchSavedNames(const QStringList& shownNames, const QStringList& savedNames) {
  QCollator collator;  // the user's locale
  collator.setCaseSensitivity(Qt::CaseInsensitive);

  // Sorted keys and a binary search keep a long list and a long selection cheap; the
  // collator's keys are equal exactly when its comparison calls the texts equal. Case folding
  // decides too, for a collator (the C locale) whose keys keep the letter case.
  std::vector<QCollatorSortKey> keys;
  keys.reserve(savedNames.size());
  QSet<QString> folded;
  for (const QString& name : savedNames) {
    keys.push_back(collator.sortKey(name));
    folded.insert(name.toCaseFolded());
  }
  const auto less = [](const QCollatorSortKey& a, const QCollatorSortKey& b) {
    return a.compare(b) < 0;
  };
  std::sort(keys.begin(), keys.end(), less);

  QList<bool> selected;
  selected.reserve(shownNames.size());
  for (const QString& shown : shownNames) {
    bool match = folded.contains(shown.toCaseFolded());
    if (!match && !keys.empty()) {
      const QCollatorSortKey key = collator.sortKey(shown);
      const auto it = std::lower_bound(keys.begin(), keys.end(), key, less);
      match = it != keys.end() && it->compare(key) == 0;
    }
    selected.append(match);
  }
  return selected;
}

void ApplySelection(QListWidget* list, const QStringList& savedNames) {
  QStringList shown;
  shown.reserve(list->count());
  for (int i = 0; i < list->count(); ++i) shown.append(list->item(i)->text());
  const QList<bool> selected = MatchSavedNames(shown, savedNames);

  // One selection change for the whole list, not one per entry.
  QItemSelection selection;
  QAbstractItemModel* model = list->model();
  for (int i = 0; i < selected.size();) {
    if (!selected[i]) {
      ++i;
      continue;
    }
    int last = i;
    while (last + 1 < selected.size() && selected[last + 1]) ++last;
    selection.select(model->index(i, 0), model->index(last, 0));
    i = last + 1;
  }
  list->selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect);
}
