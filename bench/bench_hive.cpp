// The operator list's save and restore against its length: a save must grow with the
// hive's size, not with its square (a hostile "Count" once made a save take minutes).
// Prints, for each length, the time of a save (one read-modify-write of the hive) and of
// reading every entry back, and the time per entry over that of the shortest list.
#include "platform/RegistryHive.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    const QString section = QStringLiteral("Software\\Vesk\\TLoginForm\\TLoginForm.ComboBoxCzy.Items");
    double firstPerEntry = 0;
    std::printf("%8s %10s %10s %14s\n", "entries", "save s", "read s", "per entry / 1k");
    for (int n : {1000, 8000, 32000, 100000}) {
        RegistryHive hive(dir.filePath(QStringLiteral("hive%1.reg").arg(n)));
        QElapsedTimer t;
        t.start();
        hive.update([&](HiveData &d) {
            d.deleteTree(section);
            d.setValue(section, QStringLiteral("Count"), RegValue::text(QString::number(n)));
            for (int i = 0; i < n; ++i)
                d.setValue(section, QStringLiteral("Item%1").arg(i), RegValue::text(QString()));
        });
        const double save = t.nsecsElapsed() / 1e9;
        t.restart();
        const HiveData read = hive.read();
        int found = 0;
        for (int i = 0; i < n; ++i)
            found += read.value(section, QStringLiteral("item%1").arg(i)).has_value();
        const double back = t.nsecsElapsed() / 1e9;
        if (found != n) {
            std::fprintf(stderr, "read back %d of %d entries\n", found, n);
            return 1;
        }
        const double perEntry = (save + back) / n;
        if (firstPerEntry == 0)
            firstPerEntry = perEntry;
        std::printf("%8d %10.3f %10.3f %14.2f\n", n, save, back, perEntry / firstPerEntry);
    }
    return 0;
}
