// The version check and the hand-off to the main client program.
#pragma once

#include <QString>
#include <cstdint>
#include <functional>

class SqlConnection;

// BVersion.Version of the first row; 0 when the table has no row.
int32_t readServerVersion(SqlConnection &connection);

// The workstation's copy is older, or of no known version.
bool upgradeNeeded(int32_t local, int32_t server);

// Rebuilds DovaDu.exe in the program directory from what the connection stores, then
// tells the operator through notice. Returns the version of the BVersion row that the
// installed program was checked against; 0, so that Version.txt does not name it, when
// the disk did not confirm the replacement. Throws what else the reassembly throws, with
// no notice.
int32_t runUpgrade(SqlConnection &connection, const std::function<void(const QString &)> &notice);

// Deletes the main client program's settings key; nothing happens when it is missing.
void resetMainAppSettings();

// Starts DovaDu.exe from the program directory with the operator name and the VPN
// handle. Throws "Cannot start <path>: <reason>" when it cannot be started.
void launchMainProgram(const QString &operatorName, uint32_t rasConnHandle);
