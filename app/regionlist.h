#pragma once
// The region list's file formats: lines of "cities.txt" into entries, and the saved
// selection matched against the entries' shown names.

#include <QList>
#include <QString>
#include <QStringList>

#include "harvest/jobview.h"

// One line of "cities.txt": the first "=" splits the shown name from the region key, nothing
// is trimmed. A line without "=" is shown whole and carries an empty key, which the job turns
// into an empty task and drops, so it can never be taken for a region.
RegionItem ParseRegionLine(const QString& line);

// For every shown name, in order, whether it is one of the saved names, compared without
// regard to letter case by the locale-aware comparison.
QList<bool> MatchSavedNames(const QStringList& shownNames, const QStringList& savedNames);

class QListWidget;

// Selects the entries of the list whose shown name is one of the saved names (see
// MatchSavedNames) and deselects all others.
void ApplySelection(QListWidget* list, const QStringList& savedNames);
