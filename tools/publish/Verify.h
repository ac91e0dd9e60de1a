// --verify: what was just published, read back as the workstations read it.
#pragma once

#include "upgrade/PublishedProgram.h"

#include <optional>

class SqlConnection;

// Damaged unless BVersion announces version in counts chunks, the chunks give back
// program and its seal holds, and madePatch, when there is one, turns previous into it.
void verifyPublished(SqlConnection &c, const QByteArray &program, int version, int counts, const QByteArray &previous,
                     const std::optional<StoredPatch> &madePatch);
