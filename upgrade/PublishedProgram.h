// What the database announces of the published program, read alike by the launcher and the
// publisher: BVersion's row, what vouches for the program, and the stored patches that
// lead to it from earlier programs.
#pragma once

#include "core/Exceptions.h"
#include "upgrade/ProgramSeal.h"

#include <QByteArray>
#include <QList>
#include <QStringList>
#include <QVariant>
#include <cstdint>
#include <functional>

class BatchedDownload;
class SqlConnection;

// BVersion's first row: the chunk count, the version, and where the columns exist the
// program's SHA-256 and the release key's signature.
struct Published {
    QStringList names;
    QVariantList row; // the whole row, so that any change of it between two reads is seen
    int counts = 0;
    QVariant version;
    QByteArray sha256;    // null: no such column, or no value
    QByteArray signature; // null: no such column, or no value
    bool operator==(const Published &o) const { return names == o.names && row == o.row; }
    bool operator!=(const Published &o) const { return !(*this == o); }
};

// The statement that reads it, as the launcher has always sent it.
inline constexpr const char kPublishedStatement[] = "select * from  BVersion ";

// Runs kPublishedStatement; throws the database's Exception.
Published readPublished(SqlConnection &connection);

// The statement that reads chunk index of the program, and the column of its row that
// holds the chunk's record.
QString chunkStatement(int index);
inline constexpr const char kChunkColumn[] = "ExEPic";

// What the stored hash and signature say of a program of that length and SHA-256.
struct SealVerdict {
    enum Hash { NoHash, HashMatches, HashDiffers } hash = NoHash;
    enum Signature { NoSignature, NotASignature, Holds, DoesNotHold } signature = NoSignature;
    ReleaseKey signer; // the key named by the stored signature, where it is one
};
SealVerdict judgeSeal(const Published &published, const QByteArray &sha256, qint64 length);

// Throws the refusal an operator is shown when the program may not replace the old one.
// With release keys, one of them must have signed it; without, the stored SHA-256, where
// there is one, must be the program's.
void checkSeal(const Published &published, const QByteArray &sha256, qint64 length, const QList<ReleaseKey> &keys);

// One stored patch: it turns the program whose SHA-256 is from into the one whose SHA-256
// is to, of toLength bytes. Its bytes are stored in parts, whose concatenation has the
// SHA-256 sha256.
struct StoredPatch {
    int id = 0;
    QByteArray from;
    QByteArray to;
    qint64 toLength = 0;
    int parts = 0;
    qint64 bytes = 0;
    QByteArray sha256;
};

inline constexpr const char kPatchTable[] = "BPatch";
inline constexpr const char kPatchPartTable[] = "BPatchPart";

// Every stored patch; throws the database's Exception (the table may not exist).
QList<StoredPatch> readPatches(SqlConnection &connection);

// The patches that turn the program from into the program to, in the order they are
// applied, at most patches.size() of them; none when no chain leads there (or from is to).
QList<StoredPatch> patchChain(const QList<StoredPatch> &patches, const QByteArray &from, const QByteArray &to);

// The statement that reads one part of a patch, and the column that holds it.
QString patchPartStatement(int id, int part);
inline constexpr const char kPatchPartColumn[] = "Data";

// A stored patch whose parts do not give it back: a part missing, or the bytes not of the
// length or SHA-256 its row names.
class PatchPartsDamaged : public Exception {
public:
    using Exception::Exception;
};

// The bytes of each patch of chain, its parts read in order through download; partRead(n,
// bytes) after the n-th part of the chain. Throws PatchPartsDamaged, or what download throws.
QList<QByteArray> readPatchParts(BatchedDownload &download, const QList<StoredPatch> &chain,
                                 const std::function<void(int n, qsizetype bytes)> &partRead = {});
