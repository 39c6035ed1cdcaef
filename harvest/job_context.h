#pragma once
// The context a saved queue needs to give the same rows as an uninterrupted run: the region
// names of its region tasks and the organisations' regions and card columns of its
// organisation tasks. Saved beside "lists.dat" at the end of a run, loaded by a resumed run.

#include <QString>
#include <QStringList>

#include "harvest/rundata.h"

// The file's lines for the tasks (first line a format tag, then one entry per line: a type
// letter and the fields, TAB-separated, with backslash, TAB, CR and LF escaped). Only
// entries that some task still needs, each once.
QStringList JobContextLines(const RunData& run, const QStringList& tasks);

// Adds the entries of such lines to RegionNames, OrgRegions and OrgCards. Unknown or
// damaged lines are skipped. Returns the number of entries taken.
int LoadJobContextLines(const QStringList& lines, RunData& run);
