// Runs one reassembly into a folder and nothing else, for tests that kill it midway.
// Usage: unite_child SERVER FOLDER. Prints "ready" once connected.
#include "TestServer.h"
#include "core/Exceptions.h"
#include "db/SqlConnection.h"
#include "upgrade/LoadBinaryDataToDBUnit.h"

#include <QApplication>
#include <cstdio>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    if (argc != 3)
        return 2;
    SqlConnection connection(QStringLiteral("child"));
    connection.setTarget({QString::fromLocal8Bit(argv[1]), QStringLiteral("VeskDB")});
    try {
        connection.open(TestServer::login, TestServer::password);
        std::puts("ready");
        std::fflush(stdout);
        TFileDivisionAndUnite unite;
        unite.Connection = &connection;
        unite.TargetDirectory = QString::fromLocal8Bit(argv[2]);
        unite.UniteFile();
    } catch (const Exception &e) {
        std::fprintf(stderr, "unite_child: %s\n", qPrintable(e.message()));
        return 1;
    }
    return 0;
}
