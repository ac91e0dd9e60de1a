// vesk-publish: cuts a program into chunks, compresses each behind its size, and stores
// them in CopyRight with the version record in BVersion, in one transaction; or, with
// --show, tells what is published now, as the workstations will rebuild it.
#include "CommandLine.h"
#include "Failure.h"
#include "Publish.h"
#include "ReadBack.h"
#include "ReleaseSigning.h"
#include "core/Exceptions.h"
#include "db/SqlConnection.h"

#include <QCoreApplication>
#include <QFile>
#include <cstdio>
#include <memory>

namespace {

ProgramFile readProgram(const QString &path)
{
    QFile f(path);
    ProgramFile program{f.fileName(), {}};
    if (!f.open(QIODevice::ReadOnly))
        fail(ProgramUnreadable, QStringLiteral("cannot read %1: %2").arg(program.name, f.errorString()));
    program.bytes = f.readAll();
    if (f.error() != QFileDevice::NoError)
        fail(ProgramUnreadable, QStringLiteral("cannot read %1: %2").arg(program.name, f.errorString()));
    if (program.bytes.size() > qsizetype(INT32_MAX))
        fail(ProgramUnreadable, QStringLiteral("%1 is larger than 2 GiB").arg(program.name));
    return program;
}

int makeKeys(const QString &dir)
{
    try {
        const ReleaseKey pub = makeReleaseKeys(dir);
        std::printf("made %s/release.key (private: keep it offline, never on a workstation) and release.pub\n"
                    "fingerprint:     %s\nVESK_RELEASE_KEYS=%s\n",
                    qPrintable(dir), qPrintable(pub.fingerprint()), qPrintable(pub.text()));
    } catch (const Exception &e) {
        fail(Other, e.message());
    }
    return Ok;
}

int publisherMain(const QStringList &arguments)
{
    Invocation run = parseCommandLine(arguments);
    if (run.action == Invocation::Help) {
        std::printf("%s", qPrintable(run.helpText));
        return Ok;
    }
    if (run.action == Invocation::Keygen)
        return makeKeys(run.keygenDir);
    ProgramFile program;
    if (run.action == Invocation::Publish)
        program = readProgram(run.programPath);

    // The key is read before anything is sent, so that a bad key changes nothing.
    std::unique_ptr<SigningKey> signer;
    if (!run.signingKey.isEmpty()) {
        try {
            signer = std::make_unique<SigningKey>(run.signingKey);
        } catch (const Exception &e) {
            fail(Usage, e.message());
        }
        run.publish.signer = signer.get();
    }

    SqlConnection c(QStringLiteral("publish"));
    try {
        c.setTarget(run.target);
        c.open(run.user, run.password);
    } catch (const Exception &e) {
        fail(CannotConnect, QStringLiteral("connecting to %1: %2").arg(run.target.server, e.message()));
    }
    if (run.action == Invocation::Show)
        return show(c, run.target.server, run.target.database);
    publish(c, program, run.publish);
    return Ok;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    try {
        return publisherMain(app.arguments());
    } catch (const Failure &f) {
        std::fflush(stdout);
        std::fprintf(stderr, "vesk-publish: %s\n", qPrintable(f.message));
        return f.status;
    } catch (const Exception &e) {
        std::fflush(stdout);
        std::fprintf(stderr, "vesk-publish: %s\n", qPrintable(e.message()));
        return Other;
    }
}
