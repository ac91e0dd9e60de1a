#include "CommandLine.h"

#include "Failure.h"

#include <QCommandLineParser>
#include <QFileInfo>

namespace {

const char kEpilogue[] = R"(
The password of the database login is read from the environment variable
VESK_PUBLISH_PASSWORD, so that it never shows on a command line or in a process list.

Publishing replaces every row of CopyRight and the row of BVersion in one transaction:
the workstations see the old program or the new one, never a mix. BVersion also gets
the program's SHA-256 (column Sha256, added when missing), which every workstation
checks what it rebuilt against; with --sign, the release key's signature over the
version, the chunk count, the length and that SHA-256 (column Signature). A launcher
built with VESK_RELEASE_KEYS installs only programs signed by one of those keys. A
workstation that is downloading while a publish commits notices it and downloads the
new version at the next login.

When a program is published already, the publisher rebuilds it from the chunks, makes a
binary patch from it to the new one and stores it in the same transaction (tables
BPatch and BPatchPart, created when missing), keeping the patches of the last --patches
publishes. A workstation whose DovaDu.exe one of them starts from fetches only the
patches; any other falls back to the whole program. A patch is stored only when it
saves at least half of the full download; when a first look finds that the program
published now holds less than a quarter of the new one, none is made. Patch numbers are
never used twice (BVersion's column LastPatchId, added when missing, keeps the highest).

Examples:
  Publish version 13 of a program, creating the tables on a new database, and read it
  back to compare:
    VESK_PUBLISH_PASSWORD='...' vesk-publish --server '10.1.2.3,1433' --version 13 \
        --create --verify DovaDu.exe
  Make the site's release key once, on the release manager's machine:
    vesk-publish --keygen ~/vesk-release-key
  Publish and sign version 14:
    VESK_PUBLISH_PASSWORD='...' vesk-publish --server '10.1.2.3,1433' --version 14 \
        --sign ~/vesk-release-key/release.key --verify DovaDu.exe
  Show what the workstations will get from that server now:
    VESK_PUBLISH_PASSWORD='...' vesk-publish --server '10.1.2.3,1433' --show

Progress (chunks sent of all, bytes, rate) is shown while the output is a terminal;
otherwise only one summary line is printed.

Encryption of the connection (--encryption): off; request, the default, encrypted when
the server offers it; require, never unencrypted; verify, require and the server's
certificate checked against --ca-file and against the server's name. A refused
connection says why: no encryption offered, a certificate the CA file does not trust,
or a certificate for another name.

Exit status:
  0  done (with --show: every chunk is good)
  1  any other failure
  2  wrong command line: an unknown option, a missing or bad value (a port outside 1 to
     65535 included), VESK_PUBLISH_PASSWORD not set, or a --sign key that cannot be used
     (missing, unreadable, readable by others, the public key, or no key)
  3  the program file cannot be read
  4  the database server cannot be reached, the login or database is refused, or the
     connection is refused for its encryption
  5  a statement failed on the server, a permission refused included (nothing of a
     failed publish is kept)
  6  what is stored is damaged: --verify found a difference, or --show a bad chunk, a
     stored SHA-256 that is not the program's or a signature that does not hold
)";


} // namespace

Invocation parseCommandLine(const QStringList &arguments)
{
    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral(
        "Publishes a main client program for the workstations: cuts it into chunks, compresses\n"
        "each, and stores them in CopyRight with the version in BVersion. With --show, prints\n"
        "what is published now and checks every stored chunk, changing nothing."));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("this text"));
    p.addOption(help);
    p.addPositionalArgument(QStringLiteral("program"), QStringLiteral("the program file to publish (not with --show)"));
    QCommandLineOption server(QStringLiteral("server"),
                              QStringLiteral("database server as SQL Server users write it: host, host,port or "
                                             "host\\instance (required)"),
                              QStringLiteral("server"));
    QCommandLineOption database(QStringLiteral("database"), QStringLiteral("public database (default VeskDB)"),
                                QStringLiteral("name"), QStringLiteral("VeskDB"));
    QCommandLineOption user(QStringLiteral("user"), QStringLiteral("database login (default VeskLogin)"),
                            QStringLiteral("login"), QStringLiteral("VeskLogin"));
    QCommandLineOption version(QStringLiteral("version"),
                               QStringLiteral("version number to announce, not 0; workstations with a lower "
                                              "Version.txt upgrade (required to publish)"),
                               QStringLiteral("n"));
    QCommandLineOption chunkSize(QStringLiteral("chunk-size"),
                                 QStringLiteral("bytes of the program in one chunk, 1 to 67108864 (default 262144: "
                                                "fewer, larger chunks cost fewer statements, more memory each)"),
                                 QStringLiteral("bytes"), QStringLiteral("262144"));
    QCommandLineOption level(QStringLiteral("level"),
                             QStringLiteral("compress with zlib at this level, 0 to 9, for a quick publish (default: "
                                            "libdeflate's tightest level, on every core, about 3 % fewer bytes for "
                                            "every workstation to fetch than zlib's 9)"),
                             QStringLiteral("level"));
    QCommandLineOption create(QStringLiteral("create"), QStringLiteral("create BVersion and CopyRight when missing"));
    QCommandLineOption verifyOpt(QStringLiteral("verify"),
                                 QStringLiteral("after publishing, read everything back through the launcher's "
                                                "decoder and compare it byte for byte"));
    QCommandLineOption showOpt(QStringLiteral("show"),
                               QStringLiteral("print what is published (version, chunks, stored and unpacked size, "
                                              "SHA-256 of the program the workstations rebuild) and check every "
                                              "chunk; changes nothing"));
    QCommandLineOption keygen(QStringLiteral("keygen"),
                              QStringLiteral("make the site's release key pair in dir: release.key, the private "
                                             "key (keep it offline, readable by its owner alone), and release.pub, "
                                             "the public key for the site build's VESK_RELEASE_KEYS; prints its "
                                             "fingerprint; needs no server"),
                              QStringLiteral("dir"));
    QCommandLineOption sign(QStringLiteral("sign"),
                            QStringLiteral("sign what is published with this private key (made by --keygen), in "
                                           "the same transaction; adds the column Signature to BVersion when missing"),
                            QStringLiteral("keyfile"));
    QCommandLineOption encryption(QStringLiteral("encryption"),
                                  QStringLiteral("encryption of the connection: off, request (the default), require "
                                                 "or verify (see below)"),
                                  QStringLiteral("mode"), QStringLiteral("request"));
    QCommandLineOption caFile(QStringLiteral("ca-file"),
                              QStringLiteral("with --encryption verify: the CA certificate (PEM) that must have "
                                             "signed the server's certificate"),
                              QStringLiteral("file"));
    QCommandLineOption noPatch(QStringLiteral("no-patch"),
                               QStringLiteral("store no patch from the program published now (and drop the stored "
                                              "patches, which lead to it and no further)"));
    QCommandLineOption keepPatches(QStringLiteral("patches"),
                                   QStringLiteral("keep the patches of the last n publishes, so that a workstation up "
                                                  "to n publishes behind fetches only what changed (default 3; 0 is "
                                                  "--no-patch)"),
                                   QStringLiteral("n"), QStringLiteral("3"));
    QCommandLineOption patchPart(QStringLiteral("patch-part-size"),
                                 QStringLiteral("bytes of a patch in one row of BPatchPart, 1024 to 67108864 (default "
                                                "131072: a workstation's stop answers within one)"),
                                 QStringLiteral("bytes"), QStringLiteral("131072"));
    p.addOptions({server, database, user, version, chunkSize, level, create, verifyOpt, showOpt, keygen, sign, noPatch,
                  keepPatches, patchPart, encryption, caFile});
    if (!p.parse(arguments))
        fail(Usage, p.errorText() + QStringLiteral(" (see --help)"));
    Invocation run;
    if (p.isSet(help)) {
        run.action = Invocation::Help;
        run.helpText = p.helpText() + QLatin1String(kEpilogue);
        return run;
    }
    if (p.isSet(keygen)) {
        if (p.optionNames().size() != 1 || !p.positionalArguments().isEmpty())
            fail(Usage, QStringLiteral("--keygen takes a folder and nothing else"));
        run.action = Invocation::Keygen;
        run.keygenDir = p.value(keygen);
        return run;
    }
    if (!p.isSet(server))
        fail(Usage, QStringLiteral("--server is required (see --help)"));
    TransportSecurity security;
    try {
        parseServerName(p.value(server));
        security = {parseEncryption(p.value(encryption)), p.value(caFile)};
    } catch (const Exception &e) {
        fail(Usage, e.message());
    }
    if ((security.mode == Encryption::Verify) != p.isSet(caFile))
        fail(Usage, QStringLiteral("--ca-file goes with --encryption verify, and verify needs it"));
    if (p.isSet(caFile) && !QFileInfo(p.value(caFile)).isReadable())
        fail(Usage, QStringLiteral("cannot read the CA file %1").arg(p.value(caFile)));
    // An unset variable is a forgotten one, not an empty password.
    if (!qEnvironmentVariableIsSet("VESK_PUBLISH_PASSWORD"))
        fail(Usage, QStringLiteral("VESK_PUBLISH_PASSWORD is not set: put the password of the login %1 there "
                                   "(VESK_PUBLISH_PASSWORD= for an empty one)")
                        .arg(p.value(user)));
    const bool showing = p.isSet(showOpt);
    if (showing && (!p.positionalArguments().isEmpty() || p.isSet(version) || p.isSet(create) || p.isSet(verifyOpt)
                    || p.isSet(sign) || p.isSet(noPatch) || p.isSet(keepPatches)))
        fail(Usage, QStringLiteral("--show takes no program file, --version, --create, --verify, --sign, --no-patch or "
                                   "--patches"));
    if (!showing && p.positionalArguments().size() != 1)
        fail(Usage, QStringLiteral("name one program file (see --help)"));
    bool ok = false;
    int ver = 0;
    if (!showing) {
        if (!p.isSet(version))
            fail(Usage, QStringLiteral("--version is required to publish"));
        ver = p.value(version).toInt(&ok);
        if (!ok || ver == 0)
            fail(Usage, QStringLiteral("--version must be a non-zero 32-bit integer"));
    }
    PublishOptions &o = run.publish;
    o.version = ver;
    o.chunkBytes = p.value(chunkSize).toLongLong(&ok);
    if (!ok || o.chunkBytes < 1 || o.chunkBytes > 64 * 1024 * 1024)
        fail(Usage, QStringLiteral("--chunk-size must be between 1 and 67108864"));
    o.keepPatches = p.value(keepPatches).toInt(&ok);
    if (!ok || o.keepPatches < 0 || o.keepPatches > 100)
        fail(Usage, QStringLiteral("--patches must be between 0 and 100"));
    if (p.isSet(noPatch))
        o.keepPatches = 0;
    o.patchPartBytes = p.value(patchPart).toLongLong(&ok);
    if (!ok || o.patchPartBytes < 1024 || o.patchPartBytes > 64 * 1024 * 1024)
        fail(Usage, QStringLiteral("--patch-part-size must be between 1024 and 67108864"));
    if (p.isSet(level)) {
        o.level = p.value(level).toInt(&ok);
        if (!ok || o.level < 0 || o.level > 9)
            fail(Usage, QStringLiteral("--level must be between 0 and 9"));
    }
    o.createTables = p.isSet(create);
    o.verify = p.isSet(verifyOpt);
    run.action = showing ? Invocation::Show : Invocation::Publish;
    run.target = {p.value(server), p.value(database), security};
    run.user = p.value(user);
    run.password = qEnvironmentVariable("VESK_PUBLISH_PASSWORD");
    if (!showing)
        run.programPath = p.positionalArguments().first();
    if (p.isSet(sign))
        run.signingKey = p.value(sign);
    return run;

}
