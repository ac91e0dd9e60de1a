// One chunk record through the decoder, without a window or a database.
#include "ChunkRecords.h"
#include "core/Exceptions.h"
#include "upgrade/LoadBinaryDataToDB.h"

#include <QtTest>

using namespace chunks;

class TestDecompress : public QObject {
    Q_OBJECT

private slots:
    void decodes_data();
    void decodes();
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
