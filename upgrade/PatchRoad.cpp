#include "PatchRoad.h"

#include "core/Application.h"
#include "db/SqlConnection.h"
#include "upgrade/BatchedDownload.h"
#include "upgrade/ProgramSeal.h"
#include "upgrade/patch/PatchReader.h"

#include <QCoreApplication>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <new>
#include <thread>

namespace {

// The patch road cannot make the program: the full download follows.
class PatchUnusable : public Exception {
public:
    using Exception::Exception;
};

} // namespace

QByteArray PatchRoad::apply(const QByteArray &old, const QByteArray &patch, qint64 length)
{
    // On a thread of its own, so that the window keeps painting and the stop answers.
    std::atomic<bool> cancel{false};
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    QByteArray result, sha;
    std::exception_ptr failure;
    std::thread worker([&] {
        try {
            result = applyPatch(old, patch, length, &cancel);
            sha = sha256Of(result);
        } catch (...) {
            failure = std::current_exception();
        }
        std::lock_guard lock(m);
        done = true;
        cv.notify_all();
    });
    for (;;) {
        QCoreApplication::processEvents();
        std::unique_lock lock(m);
        if (cv.wait_for(lock, std::chrono::milliseconds(10), [&] { return done; }))
            break;
        lock.unlock();
        if (stopRequested && stopRequested()) {
            cancel = true;
            worker.join();
            requestApplicationEnd();
            throw SilentAbort();
        }
    }
    worker.join();
    if (failure)
        std::rethrow_exception(failure);
    if (sha.isEmpty())
        throw PatchUnusable(QStringLiteral("no result"));
    resultSha = sha;
    return result;
}

std::optional<QByteArray> PatchRoad::rebuild(const Published &published, QByteArray old)
{
    try {
        if (published.sha256.size() != 32)
            throw PatchUnusable(QStringLiteral("BVersion names no SHA-256"));
        const QByteArray oldSha = sha256Of(old);
        if (oldSha == published.sha256) {
            // Already the published program (a Version.txt that was lost): nothing to fetch.
            resultSha = oldSha;
            return old;
        }
        QList<StoredPatch> chain;
        try {
            chain = patchChain(readPatches(connection), oldSha, published.sha256);
        } catch (const PatchUnusable &) {
            throw;
        } catch (const Exception &e) {
            if (connection.broken())
                throw LinkLost(e.message());
            throw PatchUnusable(e.message()); // no patch tables: a database from before them
        }
        if (chain.isEmpty())
            throw PatchUnusable(QStringLiteral("no chain of stored patches leads from this program"));

        qint64 partCount = 0;
        for (const StoredPatch &p : chain)
            partCount += p.parts;
        if (partCount > 1000000)
            throw PatchUnusable(QStringLiteral("too many parts"));
        if (setSteps)
            setSteps(int(partCount));
        QList<QByteArray> bytes;
        BatchedDownload download(connection, batchBytes);
        download.stopRequested = stopRequested;
        try {
            bytes = readPatchParts(download, chain, [&](int n, qsizetype partBytes) {
                bytesFetched += partBytes;
                if (setDone)
                    setDone(n);
            });
        } catch (...) {
            requests += download.requests;
            throw;
        }
        requests += download.requests;

        QByteArray program = std::move(old);
        for (int p = 0; p < chain.size(); ++p) {
            program = apply(program, bytes[p], chain[p].toLength);
            bytes[p] = QByteArray();
            if (resultSha != chain[p].to)
                throw PatchUnusable(QStringLiteral("patch %1 made another program").arg(chain[p].id));
            ++patchesApplied;
        }
        if (resultSha != published.sha256)
            throw PatchUnusable(QStringLiteral("the patches made another program"));
        return program;
    } catch (const SilentAbort &) {
        throw;
    } catch (const LinkLost &) {
        throw;
    } catch (const Exception &e) {
        // A patch that cannot be applied, a part the server refused: the full road decides.
        whyNot = e.message();
        return std::nullopt;
    } catch (const std::bad_alloc &) {
        // The chunks need only the program's room, not two programs' and a patch's.
        whyNot = QStringLiteral("there is not enough memory to apply the patches");
        return std::nullopt;
    }
}
