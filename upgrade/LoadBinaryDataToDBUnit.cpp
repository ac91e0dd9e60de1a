#include "LoadBinaryDataToDBUnit.h"

#include "core/Exceptions.h"
#include "db/SqlConnection.h"
#include "upgrade/ShowFormUnit.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QPointer>
#include <QProgressBar>
#include <QSaveFile>
#include <QScopeGuard>
#include <vector>

namespace {

// The new program is written beside the old one and moved over it only when complete,
// so a failure or a stop never costs the working program.
class Target {
public:
    explicit Target(const QString &path) : file(path)
    {
        const QFileInfo existing(path);
        const bool blocked = existing.exists() && (!existing.isFile() || !existing.isWritable());
        file.setDirectWriteFallback(false);
        if (blocked || !file.open(QIODevice::WriteOnly))
            throw Exception(QStringLiteral("Cannot create file %1").arg(QDir::toNativeSeparators(path)));
        keepPermissions = existing.exists() ? existing.permissions() : QFileDevice::Permissions();
    }
    void write(const std::vector<QByteArray> &parts)
    {
        for (const QByteArray &part : parts)
            if (file.write(part) != part.size())
                throw Exception(QStringLiteral("Stream write error"));
        // Whatever the old file allowed, the program must stay startable.
        file.setPermissions(keepPermissions | QFileDevice::ReadOwner | QFileDevice::WriteOwner
                            | QFileDevice::ExeOwner | QFileDevice::ReadGroup | QFileDevice::ExeGroup
                            | QFileDevice::ReadOther | QFileDevice::ExeOther);
        if (!file.commit())
            throw Exception(QStringLiteral("Stream write error"));
    }

private:
    QSaveFile file; // discards its temporary file unless committed
    QFileDevice::Permissions keepPermissions;
};

} // namespace

void TFileDivisionAndUnite::UniteFile()
{
    const QString target = QDir(TargetDirectory).filePath(QStringLiteral("DovaDu.exe"));
    Target file(target);

    std::vector<QByteArray> assembly; // the whole program, chunk after chunk
    TMemoryStream chunk;
    SqlQuery query(*Connection);
    query.close();
    query.SQL = QStringList{QStringLiteral("select * from  BVersion ")};
    query.open();
    const int count = query.fieldByName(QStringLiteral("Counts")).toInt();

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
    QCoreApplication::processEvents();
    if (QWidget *active = QApplication::activeWindow())
        active->repaint();

    for (int i = 0; i < count; ++i) {
        QCoreApplication::processEvents();
        if (UpgradeStopFlag == 1) {
            requestApplicationEnd();
            throw SilentAbort();
        }
        query.close();
        query.SQL = QStringList{QStringLiteral(" SELECT  * FROM CopyRight where Idcol='%1'").arg(i)};
        query.open();
        chunk.clear();
        if (!query.eof())
            chunk.data = query.blobField(QStringLiteral("ExEPic"));
        else
            query.fieldByName(QStringLiteral("ExEPic")); // a missing column is still an error
        chunk.position = 0;
        ChunkLoader->DecompressChunk(chunk);
        assembly.push_back(std::move(chunk.data));
        chunk.clear();
        if (window)
            window->ProgressBar1->setValue(i + 1);
        query.next();
    }
    query.close();
    file.write(assembly);
}
