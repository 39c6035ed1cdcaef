#pragma once
// The job's settings as the app, run-control and harvest suites start from them: the portal
// at the given address with the demo client identity, short waits, no workbook handed to the
// desktop. Each suite sets what it tries on top (attempts, pauses, the folder).

#include <QString>

#include "harvest/scraper.h"
#include "tests/support/simserver.h"

inline HarvestSettings TestHarvestSettings(const QString& baseUrl) {
  HarvestSettings s;
  s.fetch.baseUrl = baseUrl;
  s.fetch.certFile = SimServer::ClientCert();
  s.fetch.keyFile = SimServer::ClientKey();
  s.fetch.additionalWaitMs = 5;
  s.fetch.idleAndConnectTimeoutSec = 30;
  s.passWaitMs = 1;
  s.openWorkbook = false;
  return s;
}
