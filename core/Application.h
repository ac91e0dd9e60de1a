// What every subsystem may ask of the running program.
#pragma once

#include <QString>

// The program directory: the launcher's own executable's folder, with its separator.
QString programDirectory();

// Asks the application to end once the running handler has returned.
void requestApplicationEnd();
