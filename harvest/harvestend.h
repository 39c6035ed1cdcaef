#pragma once
// Where the job meets the history: a harvest begins at a fresh start and, once its queue is
// empty at the end of a run, goes into "history.sqlite" with its change report. Nothing here
// touches a result file, a workbook or the saved state; whatever fails is one log line.
//
// A completed harvest is first written to "history-pending.dat" beside the program (its
// description, not its rows) and taken out once it is in the history: a kill during the
// import, or a database that cannot be used, leaves it there, and the next fresh start and
// the next completed harvest import it (the import is idempotent, harvest/history.h).

#include <QString>
#include <functional>

#include "harvest/harvestunderway.h"
#include "harvest/history.h"

using HarvestLog = std::function<void(const QString& message)>;

// A fresh start with these regions (key, name): earlier completed harvests still waiting go
// into the history first; returns the new harvest under way.
HarvestUnderWay BeginHarvest(const QString& dir, const QList<QPair<QString, QString>>& regions, const HarvestLog& log);

// The queue of the harvest is empty and saved: it goes into the history (after any earlier
// ones still waiting), and its change report is written. Logs one line naming the database
// and one naming the report, or one line saying why not.
void CompleteHarvest(const QString& dir, const HarvestUnderWay& harvest, const HarvestLog& log);

// "СТАРТ" is about to discard the saved work: a harvest whose queue was saved empty but that
// was never noted for the history (the program was ended in between) is noted now, so the
// fresh start's BeginHarvest imports it. One already in the history is found there and not
// imported twice.
void NoteHarvestLeftComplete(const QString& dir, const HarvestLog& log);

// A task given up for good, noted with the harvest with what it would have brought.
void NoteGivenUp(HarvestUnderWay& harvest, const QString& task);

// The pending list's file name.
inline QString PendingHarvestsFileName() { return QStringLiteral("history-pending.dat"); }
