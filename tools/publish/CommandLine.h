// The publisher's command line: what it asks for, checked before anything is sent.
#pragma once

#include "Publish.h"
#include "db/SqlConnection.h"

#include <QStringList>

struct Invocation {
    enum Action { Help, Keygen, Show, Publish } action = Publish;
    QString helpText;   // Help
    QString keygenDir;  // Keygen
    DatabaseTarget target;    // Show, Publish
    QString user;
    QString password;
    QString programPath; // Publish
    QString signingKey;  // Publish: empty, unsigned
    PublishOptions publish;
};

// Failure(Usage) for a wrong command line.
Invocation parseCommandLine(const QStringList &arguments);
