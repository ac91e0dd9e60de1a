// A publish: the chunks, BVersion's row and the patch from the program published before,
// stored in one transaction, then read back when asked.
#pragma once

#include "ChunkEncoder.h"

#include <QByteArray>
#include <QString>

class SigningKey;
class SqlConnection;

struct PublishOptions {
    int version = 0;
    qsizetype chunkBytes = 256 * 1024;
    int level = ChunkEncoder::kTightest;
    bool createTables = false;
    bool verify = false;
    const SigningKey *signer = nullptr; // none: unsigned
    int keepPatches = 3;                // 0: no patches
    qsizetype patchPartBytes = 128 * 1024; // a stop answers within one part
};

struct ProgramFile {
    QString name;
    QByteArray bytes;
};

void publish(SqlConnection &c, const ProgramFile &program, const PublishOptions &options);
