#pragma once
// The portal's API as the program uses it: request kinds, addresses, task strings and bodies.

#include <QByteArray>
#include <QString>
#include <QStringView>

#include "portal/buildsettings.h"

// Request kind of a task (`Code`).
enum Code : int {
  RegionCount = 0,
  SearchPage = 1,
  OrgCard = 2,
  HouseCount = 3,
  HousePage = 4,
};

// The portal's root address, compiled in ("https://host/", closing "/" included).
inline QString DefaultBaseUrl() { return QStringLiteral(ORGH_PORTAL_BASE_URL); }
// Pass phrase of the client key "01key.pem", compiled in.
inline QByteArray DefaultKeyPassphrase() { return QByteArrayLiteral(ORGH_PORTAL_KEY_PASSPHRASE); }

inline constexpr int kSearchPageSize = 100;
inline constexpr int kHousePageSize = 1000;

// Addresses (base is the root address with its closing "/").
QString RegionCountAddress(const QString& base);
QString AdditionalInfoAddress(const QString& base);
QString OrganisationLink(const QString& base, const QString& orgGuid);

// Task strings carry their value (a region key or an organisation GUID) after this marker.
inline constexpr QLatin1String kTaskValueMarker("|||");
// A region key joins the region's code and GUID: "<code>$$$<guid>".
inline constexpr QLatin1String kRegionKeyMarker("$$$");
QString RegionKey(const QString& code, const QString& guid);

// A value that may go into a task or a request: ASCII letters, digits and "-", 1 to 64 of
// them. GUIDs and region codes come from the portal's answers and from a hand-edited file;
// anything else could carry a line break into the saved queue or another address into a
// request, so it is refused.
inline constexpr qsizetype kMaxTokenLength = 64;
bool IsPlainToken(QStringView value);
// A region key fit for a task: its GUID a plain token, its code a plain token or empty (a key
// without "$$$" has no code).
bool IsPlainRegionKey(const QString& key);
// A task that can be written as one line of a working file and read back unchanged: no
// control character (U+0000 to U+001F, U+007F) and not empty.
bool IsSafeTaskLine(const QString& task);
// A value for a log line: control characters shown as \xNN, cut to `maxLength` characters
// with "..." after it, so that a hostile value cannot break the line or flood the log.
QString PrintableValue(QStringView value, qsizetype maxLength = 100);

// Task strings, as they stand in the job's queue. Each builder gives an empty text when a
// value is not a plain token (see IsPlainToken); callers check first.
QString SearchPageTask(const QString& base, int page, const QString& regionCode,
                       const QString& regionGuid);
QString OrgCardTask(const QString& base, const QString& orgGuid);
QString HouseCountTask(const QString& base, const QString& orgGuid);
QString HousePageTask(const QString& base, int page, const QString& orgGuid);

// Kind of a task string, decided by substring tests when it is dispatched.
Code TaskKind(const QString& task);

// A task string taken apart once: the job parses it when it hands it to a worker, the worker
// sends from the parts and hands them back, and the context file reads the same parts.
struct TaskParts {
  QString text;            // the task string as it stood in the queue
  Code kind = RegionCount;
  bool hasValue = false;   // it held "|||" (a region key task needs none)
  QString address;         // what is requested: before "|||", the whole text without one
  QString value;           // after "|||"; the key itself for a region key task
  QString regionCode;      // RegionCount, SearchPage: the key's code (empty without "$$$")
  QString regionGuid;      // and its GUID
  QString orgGuid;         // OrgCard (after "organizationGuid="), HouseCount, HousePage
};
// The parts of a task read as a task of the given kind, or of its own kind.
TaskParts ParseTask(const QString& task, Code kind);
inline TaskParts ParseTask(const QString& task) { return ParseTask(task, TaskKind(task)); }
// The organisation GUID of an OrgCard task; empty when it names none.
QString CardTaskOrgGuid(const QString& task);

// Why a task must never be sent, for the log ("task refused: ..."), or empty when it may go:
// only plain values and addresses under `baseUrl` go out, whatever a working file was made
// to hold. A task without "|||" is not refused here: it fails in its attempts.
QString TaskRefusal(const TaskParts& task, const QString& baseUrl);

// Request bodies (compact JSON, UTF-8 bytes).
QByteArray OrganisationFilter(const QString& regionGuid, const QString& regionCode);
QByteArray HouseFilter(const QString& orgGuid);
QByteArray AdditionalInfoBody(const QString& orgGuid);
