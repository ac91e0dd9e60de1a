#include "LoadBinaryDataToDBUnit.h"

#include "core/Exceptions.h"
#include "db/SqlConnection.h"
#include "platform/AtomicFile.h"
#include "upgrade/ProgramSeal.h"
#include "upgrade/ShowFormUnit.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QDir>
#include <QFileInfo>
#include <QPointer>
#include <QProgressBar>
#include <QScopeGuard>
#include <QThread>
#include <QWindow>
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cmath>
#include <vector>

namespace {

// The longest the progress window is waited for before the download starts regardless (a
// window manager may keep it from the screen).
constexpr int kExposeWait = 1000;

[[noreturn]] void cannotCreate(const QString &path)
{
    throw Exception(QStringLiteral("Cannot create file %1").arg(QDir::toNativeSeparators(path)));
}

// The new program is written beside the old one and moved over it only when complete,
// so a failure, a stop or a kill never costs the working program. One upgrade at a
// time holds the folder's lock; under it, the temporary file that a killed run left
// behind is simply taken over, so none accumulate.
class Target {
public:
    explicit Target(const QString &path)
        : path(path), temporary(path + QStringLiteral(".download")), encoded(QFile::encodeName(temporary))
    {
        const QFileInfo existing(path);
        if (existing.exists() && (!existing.isFile() || !existing.isWritable()))
            cannotCreate(path);
        folder = ::open(QFile::encodeName(existing.absolutePath()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (folder < 0 || ::flock(folder, LOCK_EX | LOCK_NB) != 0)
            cannotCreate(path); // another upgrade is writing here now
        struct stat old{};
        const bool hadOld = ::stat(QFile::encodeName(path).constData(), &old) == 0;
        ::unlink(encoded.constData());
        fd = ::open(encoded.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0777);
        if (fd < 0)
            cannotCreate(path);
        // A replaced program keeps its mode, so a private one stays private; it only
        // needs to stay startable by its owner. A new one gets what the umask allows.
        // In a folder shared by a group (setgid, group-writable) the group may also read,
        // start and replace it, whoever of them upgraded last.
        struct stat created{}, dir{};
        const bool shared = ::fstat(folder, &dir) == 0 && (dir.st_mode & S_ISGID) && (dir.st_mode & S_IWGRP);
        mode_t mode = hadOld ? (old.st_mode & 07777) | S_IXUSR
                             : (::fstat(fd, &created) == 0 ? created.st_mode & 07777 : mode_t(0755));
        if (shared)
            mode |= S_IRGRP | S_IWGRP | S_IXGRP;
        if (hadOld || shared)
            ::fchmod(fd, mode);
    }
    ~Target()
    {
        if (fd >= 0) {
            ::close(fd);
            ::unlink(encoded.constData());
        }
        if (folder >= 0)
            ::close(folder); // releases the lock
    }
    Target(const Target &) = delete;
    Target &operator=(const Target &) = delete;

    void write(const std::vector<QByteArray> &parts)
    {
        for (const QByteArray &part : parts)
            for (qsizetype done = 0; done < part.size();) {
                const ssize_t n = ::write(fd, part.constData() + done, size_t(part.size() - done));
                if (n < 0 && errno == EINTR)
                    continue;
                if (n <= 0)
                    throw Exception(QStringLiteral("Stream write error"));
                done += n;
            }
        // On disk before it replaces the old program, and the folder synced after, so
        // that Version.txt, written next, never names a program a power cut took back.
        const bool flushed = ::fsync(fd) == 0;
        const bool closed = ::close(fd) == 0;
        fd = -1;
        if (!flushed || !closed || replaceFile(temporary, path) != 0) {
            ::unlink(encoded.constData());
            throw Exception(QStringLiteral("Stream write error"));
        }
    }

private:
    QString path;
    QString temporary;
    QByteArray encoded;
    int folder = -1;
    int fd = -1;
};

// What BVersion announces: its whole first row, of which the chunk count, the version,
// and where the columns exist the program's SHA-256 and the release key's signature.
struct Published {
    QStringList names;
    QVariantList row;
    int counts = 0;
    QVariant version;
    QByteArray sha256;    // null: no such column, or no value
    QByteArray signature; // null: no such column, or no value
    bool operator==(const Published &o) const { return names == o.names && row == o.row; }
};

Published readPublished(SqlQuery &query)
{
    query.close();
    query.SQL = QStringList{QStringLiteral("select * from  BVersion ")};
    query.open();
    Published p;
    p.counts = query.fieldByName(QStringLiteral("Counts")).toInt();
    const auto optional = [&](const QString &name) {
        return query.hasField(name) ? query.fieldByName(name) : QVariant();
    };
    p.version = optional(QStringLiteral("Version"));
    p.sha256 = optional(QStringLiteral("Sha256")).toByteArray();
    p.signature = optional(QStringLiteral("Signature")).toByteArray();
    if (!query.eof())
        for (const QString &name : query.fieldNames()) {
            p.names << name;
            p.row << query.fieldByName(name);
        }
    return p;
}

[[noreturn]] void refuse(const QString &why)
{
    throw Exception(why + QStringLiteral(" The old program is kept; nothing was installed or started."));
}

// The rebuilt program against what vouches for it in BVersion, before it may replace the
// old one. With release keys built in, their signature over the version, the chunk count
// and what was rebuilt; without, the SHA-256 stored beside the version, where there is one.
void checkSeal(const Published &published, const QByteArray &sha256, qint64 length, const QList<ReleaseKey> &keys)
{
    if (keys.isEmpty()) {
        if (!published.sha256.isNull() && published.sha256 != sha256)
            refuse(QStringLiteral("The program downloaded is not the one published: its SHA-256 differs from the one "
                                  "in BVersion."));
        return;
    }
    if (published.signature.isEmpty())
        refuse(QStringLiteral("The program on the server is not signed with the site's release key."));
    const QByteArray statement = signedStatement(published.version.toInt(), published.counts, length, sha256);
    if (!signerOf(keys, statement, published.signature))
        refuse(QStringLiteral("The program on the server does not match the signature of the site's release key."));
}

} // namespace

void LinkMeasure::record(bool first, double seconds, qsizetype bytes)
{
    if (bytes <= 0 || seconds <= 0)
        return;
    if (first) {
        firstSeconds = seconds;
        firstBytes = bytes;
    } else {
        const double rate = double(bytes) / seconds;
        bytesPerSecond = bytesPerSecond > 0 ? 0.7 * bytesPerSecond + 0.3 * rate : rate;
    }
    if (bytesPerSecond > 0 && firstSeconds >= 0)
        roundTrip = std::max(0.0, firstSeconds - double(firstBytes) / bytesPerSecond);
}

int chunksPerBatch(qsizetype recordBytes, qsizetype batchBytes, const LinkMeasure &link)
{
    if (batchBytes <= 0)
        return 1;
    if (recordBytes <= 0)
        return kFirstBatch; // nothing known of the chunks yet
    qsizetype budget = batchBytes;
    if (link.bytesPerSecond > 0 && std::isfinite(link.bytesPerSecond) && link.roundTrip >= 0) {
        const double hidden = kHideRoundTrip * link.bytesPerSecond * link.roundTrip;
        budget = hidden < double(batchBytes) ? qsizetype(hidden) : batchBytes;
    }
    return int(std::clamp<qsizetype>(budget / recordBytes, 1, kMaxBatch));
}

void TFileDivisionAndUnite::UniteFile()
{
    const QString target = QDir(TargetDirectory).filePath(QStringLiteral("DovaDu.exe"));
    Target file(target);

    std::vector<QByteArray> assembly; // the whole program, chunk after chunk
    TMemoryStream chunk;
    SqlQuery query(*Connection);
    const Published published = readPublished(query);
    const int count = published.counts;

    ChunkLoader = std::make_unique<TLoadBinaryDataToDB>();
    auto releaseLoader = qScopeGuard([this] { ChunkLoader.reset(); });

    ShowForm = new TShowForm;
    QPointer<TShowForm> window = ShowForm;
    auto closeWindow = qScopeGuard([window] {
        if (window) {
            window->inUse = false;
            window->close();
        }
    });
    window->inUse = true;
    window->show();
    window->setRange(1, count);
    // Painted before the first request: over a slow link its answer takes a while, and the
    // window system says a new window is visible only some time after it was shown.
    const auto exposed = [&window] { return window && window->windowHandle() && window->windowHandle()->isExposed(); };
    for (QDeadlineTimer deadline(kExposeWait); !exposed() && UpgradeStopFlag == 0 && !deadline.hasExpired();) {
        QCoreApplication::processEvents();
        QThread::msleep(1);
    }
    QCoreApplication::processEvents();
    if (QWidget *active = QApplication::activeWindow())
        active->repaint();

    // Chunks are asked for several at a time, one round trip a batch; each statement and
    // what is read of its result are those of a chunk asked for alone.
    SqlBatch batch(*Connection);
    BackgroundSha256 hash;
    qint64 length = 0;
    ChunkRequests = 0;
    qsizetype recordBytes = 0; // the last stored record's size, to size the next batch
    LinkMeasure link; // measured as the records come, to size the next batch
    QElapsedTimer clock;
    try {
        for (int i = 0; i < count; ++i) {
            QCoreApplication::processEvents();
            if (UpgradeStopFlag == 1) {
                // The launcher ends: the rest of the batch is not waited for.
                Connection->cutLink();
                batch.abandon();
                requestApplicationEnd();
                throw SilentAbort();
            }
            clock.restart();
            const bool first = batch.pending() == 0;
            if (first) {
                QStringList statements;
                for (int k = i, end = i + chunksPerBatch(recordBytes, BatchBytes, link); k < end && k < count; ++k)
                    statements << QStringLiteral(" SELECT  * FROM CopyRight where Idcol='%1'").arg(k);
                batch.open(statements);
                ++ChunkRequests;
            } else {
                batch.nextResult();
            }
            const double took = double(clock.nsecsElapsed()) / 1e9;
            chunk.clear();
            if (!batch.eof())
                chunk.data = batch.blobField(QStringLiteral("ExEPic"));
            else
                batch.fieldByName(QStringLiteral("ExEPic")); // a missing column is still an error
            recordBytes = chunk.data.size();
            link.record(first, took, recordBytes);
            chunk.position = 0;
            ChunkLoader->DecompressChunk(chunk);
            hash.add(chunk.data);
            length += chunk.data.size();
            assembly.push_back(std::move(chunk.data));
            chunk.clear();
            if (window)
                window->ProgressBar1->setValue(i + 1);
        }
    } catch (const SilentAbort &) {
        throw;
    } catch (const Exception &e) {
        // The driver's own words for a cut link ("Unknown error", "Unexpected EOF") do not
        // tell the operator what happened.
        if (!Connection->broken())
            throw;
        throw Exception(QStringLiteral("The connection to the database server was lost during the download (%1). The "
                                       "old program is kept; log in again to download the new version")
                            .arg(e.message()));
    }
    batch.abandon(); // the last result's further rows, if any, are not wanted
    // A publish that committed while the chunks came would give a program made of two
    // versions, each chunk passing its own check: refuse it; the next login downloads
    // the new version whole.
    if (readPublished(query) != published)
        throw Exception(QStringLiteral("The program on the server changed during the download. The old program is "
                                       "kept; log in again to download the new version"));
    query.close();
    checkSeal(published, hash.result(), length, ReleaseKeys);
    file.write(assembly);
}
