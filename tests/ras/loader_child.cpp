// Runs the loader's calls named on its command line, one process per scenario (the
// loader's state lasts for the process), and prints one line per call.
//   delete | set | proc NAME | loaded LIB | install FROM TO | finalize
#include "core/Application.h"
#include "core/Exceptions.h"
#include "ras/Ras.h"

#include <QCoreApplication>
#include <QFile>
#include <cstdio>
#include <dlfcn.h>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    for (int i = 0; i < args.size(); ++i) {
        const QString &command = args[i];
        QByteArray line;
        try {
            if (command == QLatin1String("delete")) {
                line = QByteArray::number(RasDeleteEntry(nullptr, "VUDAZEZ"));
            } else if (command == QLatin1String("set")) {
                RASENTRYA entry{};
                entry.dwSize = sizeof entry;
                line = QByteArray::number(RasSetEntryProperties(nullptr, "VUDAZEZ", &entry, sizeof entry, nullptr, 0));
            } else if (command == QLatin1String("proc")) {
                line = GetRasProc(args[++i].toLatin1().constData()) ? "found" : "null";
            } else if (command == QLatin1String("loaded")) {
                const QByteArray path = QFile::encodeName(programDirectory() + "lib" + args[++i] + ".so");
                void *h = dlopen(path.constData(), RTLD_NOW | RTLD_NOLOAD);
                line = h ? "loaded" : "not loaded";
                if (h)
                    dlclose(h);
            } else if (command == QLatin1String("install")) {
                const QString from = programDirectory() + args[i + 1], to = programDirectory() + args[i + 2];
                i += 2;
                line = QFile::copy(from, to) ? "installed" : "not installed";
            } else if (command == QLatin1String("finalize")) {
                RasFinalization();
                line = "finalized";
            } else {
                line = "unknown command";
            }
        } catch (const Exception &e) {
            line = "! " + e.message().toUtf8();
        }
        std::printf("%s\n", line.constData());
    }
    return 0;
}
