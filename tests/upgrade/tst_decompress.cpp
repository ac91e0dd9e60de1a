// One chunk record through the decoder, without a window or a database.
#include "ChunkRecords.h"
#include "core/Exceptions.h"
#include "upgrade/LoadBinaryDataToDB.h"
#include "publish/ChunkEncoder.h"

#include <QtEndian>
#include <QtTest>
#include <zlib.h>

using namespace chunks;

namespace {
QByteArray randomBytes(qsizetype size, quint32 seed)
{
    QByteArray b(size, '\0');
    QRandomGenerator(seed).fillRange(reinterpret_cast<quint32 *>(b.data()), size / 4);
    return b;
}
} // namespace

class TestDecompress : public QObject {
    Q_OBJECT

private slots:
    void decodes_data();
    void decodes();
    void tightestEncoderIsPlainZlib_data();
    void tightestEncoderIsPlainZlib();
    void rejects_data();
    void rejects();
    void startsAtThePosition();
};

void TestDecompress::decodes_data()
{
    QTest::addColumn<QByteArray>("stored");
    QTest::addColumn<QByteArray>("expected");
    const QByteArray text = programBytes(100000, 1);
    QTest::newRow("exact") << record(text) << text;
    QTest::newRow("one byte") << record("x") << QByteArray("x");
    QTest::newRow("N = 0, nothing after") << sizeField(0) << QByteArray();
    QTest::newRow("N = 0, garbage after") << (sizeField(0) + QByteArray("not a zlib stream")) << QByteArray();
    QTest::newRow("stream longer than N") << record(text, 60000) << text.left(60000);
    QTest::newRow("longer, trailer wrong") << [&] {
        QByteArray r = record(text, 1000);
        r[r.size() - 1] = char(r[r.size() - 1] ^ 0x55);
        return r;
    }() << text.left(1000);
    QTest::newRow("longer, cut short") << record(text, 1000).left(2000) << text.left(1000);
    QTest::newRow("bytes after the stream") << (record(text) + QByteArray("tail")) << text;
    QTest::newRow("stored uncompressed") << (sizeField(5) + [] {
        uLongf bound = 64;
        QByteArray out(64, Qt::Uninitialized);
        compress2(reinterpret_cast<Bytef *>(out.data()), &bound, reinterpret_cast<const Bytef *>("hello"), 5, 0);
        out.resize(qsizetype(bound));
        return out;
    }()) << QByteArray("hello");
    // The publisher's encoder, read by the decoder as zlib's streams are.
    const auto tightest = [](const QByteArray &data) {
        return encodeChunk(data.constData(), data.size(), ChunkEncoder::kTightest);
    };
    QTest::newRow("tightest encoder") << tightest(text) << text;
    QTest::newRow("tightest encoder, one byte") << tightest("x") << QByteArray("x");
    QTest::newRow("tightest encoder, N = 0") << tightest(QByteArray()) << QByteArray();
    QTest::newRow("tightest encoder, stream longer than N") << (sizeField(60000) + tightest(text).mid(4)) << text.left(60000);
    const QByteArray random = randomBytes(300000, 2);
    QTest::newRow("tightest encoder, bytes that do not shrink") << tightest(random) << random;
}

void TestDecompress::tightestEncoderIsPlainZlib_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("one byte") << QByteArray("x");
    QTest::newRow("text") << programBytes(262144, 3);
    QTest::newRow("random") << randomBytes(262145, 4);
}

void TestDecompress::tightestEncoderIsPlainZlib()
{
    // Any zlib inflater reads it: plain zlib gives back the same bytes.
    QFETCH(QByteArray, data);
    const QByteArray r = encodeChunk(data.constData(), data.size(), ChunkEncoder::kTightest);
    QCOMPARE(qFromLittleEndian<qint32>(r.constData()), qint32(data.size()));
    QByteArray out(std::max<qsizetype>(1, data.size()), Qt::Uninitialized);
    uLongf n = uLongf(out.size());
    QCOMPARE(uncompress(reinterpret_cast<Bytef *>(out.data()), &n, reinterpret_cast<const Bytef *>(r.constData() + 4),
                        uLong(r.size() - 4)),
             Z_OK);
    QVERIFY(out.left(qsizetype(n)) == data);
}

void TestDecompress::decodes()
{
    QFETCH(QByteArray, stored);
    QFETCH(QByteArray, expected);
    TMemoryStream buffer;
    buffer.data = stored;
    TLoadBinaryDataToDB().DecompressChunk(buffer);
    QCOMPARE(buffer.position, 0);
    QCOMPARE(buffer.data.size(), expected.size());
    QVERIFY(buffer.data == expected);
}

void TestDecompress::rejects_data()
{
    QTest::addColumn<QByteArray>("stored");
    QTest::addColumn<QString>("error");
    const QByteArray text = programBytes(50000, 2);
    const QString read = QStringLiteral("Stream read error");
    const QString bad = QStringLiteral("error");
    QTest::newRow("empty value") << QByteArray() << read;
    QTest::newRow("three bytes") << QByteArray("\x05\x00\x00", 3) << read;
    QTest::newRow("negative N") << (sizeField(-6) + deflated(text)) << read;
    QTest::newRow("stream shorter than N") << record(text, text.size() + 1) << read;
    QTest::newRow("size but no stream") << sizeField(10) << bad;
    QTest::newRow("not zlib") << (sizeField(10) + QByteArray("0123456789abcdef")) << bad;
    QTest::newRow("corrupt deflate data") << [&] {
        QByteArray r = record(text);
        for (int i = 20; i < 40; ++i)
            r[i] = char(0xFF);
        return r;
    }() << bad;
    QTest::newRow("wrong trailer at exact end") << [&] {
        QByteArray r = record(text);
        r[r.size() - 1] = char(r[r.size() - 1] ^ 0x01);
        return r;
    }() << bad;
    QTest::newRow("trailer missing") << record(text).chopped(4) << bad;
    QTest::newRow("cut in the middle") << record(text).left(200) << bad;
    QTest::newRow("preset dictionary") << (sizeField(3) + QByteArray("\x78\xBB\x00\x00\x00\x01\x00", 7)) << bad;
}

void TestDecompress::rejects()
{
    QFETCH(QByteArray, stored);
    QFETCH(QString, error);
    TMemoryStream buffer;
    buffer.data = stored;
    try {
        TLoadBinaryDataToDB().DecompressChunk(buffer);
        QFAIL("no failure");
    } catch (const Exception &e) {
        QCOMPARE(e.message(), error);
    }
}

void TestDecompress::startsAtThePosition()
{
    TMemoryStream buffer;
    buffer.data = QByteArray("skip") + record("payload");
    buffer.position = 4;
    TLoadBinaryDataToDB().DecompressChunk(buffer);
    QCOMPARE(buffer.data, QByteArray("payload"));
    QCOMPARE(buffer.position, 0);
}

QTEST_GUILESS_MAIN(TestDecompress)
#include "tst_decompress.moc"
