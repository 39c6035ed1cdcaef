#pragma once
// The harvest under way: everything from a "СТАРТ" with no saved work until its queue is
// empty at the end of a run, across stops, kills and several result files. Kept with the
// run's data and saved in "context.dat" (lines of the letter "H", job_context.h), so that a
// continued run goes on with the same harvest.

#include <QList>
#include <QString>
#include <QStringList>

struct HarvestUnderWay {
  QString started;  // ISO 8601; empty: a queue saved before harvests were kept
  QList<QPair<QString, QString>> regions;  // region key, region name
  QStringList resultFiles;                 // names beside the program, in the order written
  struct GivenUp {
    QString task, orgGuid, regionKey;
  };
  QList<GivenUp> givenUp;  // tasks given up for good

  bool Known() const { return !started.isEmpty(); }
};
