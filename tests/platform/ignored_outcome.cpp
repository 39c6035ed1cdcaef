// Must not build: an outcome left unread (see the test ignored_outcome_does_not_build).

#include "platform/platform.h"

void DropsTheOutcome() { RemoveFile(QStringLiteral("lists.dat")); }
