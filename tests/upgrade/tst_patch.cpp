// The patch codec: what makePatch makes applyPatch turns back into the new program, and a
// patch that is damaged, cut, or meant for something else is refused with PatchError.
#include "tools/publish/PatchMaker.h"
#include "upgrade/patch/PatchReader.h"

#include <QRandomGenerator>
#include <QtEndian>
#include <QtTest>

namespace {

QByteArray randomBytes(qsizetype n, quint32 seed)
{
    QRandomGenerator g(seed);
    QByteArray b(n, Qt::Uninitialized);
    for (char &c : b)
        c = char(g.bounded(256));
    return b;
}

// Code-like bytes: functions of random bytes calling each other through E8 and a 32-bit
// displacement. gap bytes inserted before function `at` move everything after it, so every
// call across the insertion point changes, as in a relinked program.
QByteArray program(int functions, int gapAt, int gap)
{
    QRandomGenerator g(7);
    std::vector<qsizetype> starts;
    std::vector<QByteArray> bodies;
    qsizetype at = 0;
    for (int f = 0; f < functions; ++f) {
        if (f == gapAt)
            at += gap;
        starts.push_back(at);
        bodies.push_back(QByteArray(qsizetype(200 + g.bounded(400)), Qt::Uninitialized));
        at += bodies.back().size();
    }
    QByteArray out(at, '\x90');
    for (int f = 0; f < functions; ++f) {
        QByteArray &b = bodies[size_t(f)];
        for (qsizetype i = 0; i < b.size(); ++i)
            b[i] = char(g.bounded(64));
        for (qsizetype i = 0; i + 5 <= b.size(); i += 40) {
            const qsizetype from = starts[size_t(f)] + i + 5;
            b[i] = char(0xE8);
            qToLittleEndian<qint32>(qint32(starts[size_t(g.bounded(functions))] - from), b.data() + i + 1);
        }
        std::copy(b.begin(), b.end(), out.begin() + starts[size_t(f)]);
    }
    return out;
}

} // namespace

class TestPatch : public QObject {
    Q_OBJECT

private slots:
    void roundTrip_data();
    void roundTrip();
    void hostile_data();
    void hostile();
    void everyCutAndFlipIsRefused();
    void cancelIsHonoured();

private:
    QByteArray old = program(300, 1000, 0);
    QByteArray neu = program(300, 150, 37);
};

void TestPatch::roundTrip_data()
{
    QTest::addColumn<QByteArray>("from");
    QTest::addColumn<QByteArray>("to");
    const QByteArray r = randomBytes(100000, 1);
    QTest::newRow("both empty") << QByteArray() << QByteArray();
    QTest::newRow("empty old") << QByteArray() << r;
    QTest::newRow("empty new") << r << QByteArray();
    QTest::newRow("identical") << r << r;
    QTest::newRow("unrelated random") << r << randomBytes(80000, 2);
    QTest::newRow("code with its calls moved") << old << neu;
    QTest::newRow("old longer") << r << r.left(30000) + r.mid(70000);
    QTest::newRow("old shorter") << r.left(50000) << r + randomBytes(5000, 3) + r.left(20000);
    QTest::newRow("new of 1 byte") << r << QByteArray("\xE8");
    QTest::newRow("calls at the very end") << QByteArray("ab\xE8\1\0\0") << QByteArray("a\xE8\1\0\0\0\xE9");
}

void TestPatch::roundTrip()
{
    QFETCH(QByteArray, from);
    QFETCH(QByteArray, to);
    qint64 lastDone = -1, all = 0;
    const QByteArray patch = makePatch(from, to, [&](qint64 done, qint64 a) {
        QVERIFY(done >= lastDone && done <= a);
        lastDone = done;
        all = a;
    });
    QCOMPARE(lastDone, all);
    QCOMPARE(applyPatch(from, patch, to.size()), to);
    QCOMPARE(makePatch(from, to), patch);
}

void TestPatch::hostile_data()
{
    QTest::addColumn<QByteArray>("from");
    QTest::addColumn<QByteArray>("patch");
    QTest::addColumn<qint64>("resultLength");
    const QByteArray good = makePatch(old, neu);
    const qint64 n = neu.size();
    auto with = [&](int offset, quint64 value, int width = 8) {
        QByteArray p = good;
        if (width == 8)
            qToLittleEndian<quint64>(value, p.data() + offset);
        else
            qToLittleEndian<quint32>(quint32(value), p.data() + offset);
        return p;
    };
    constexpr int streams = 32, diff = streams + 3 * 24, extra = streams + 4 * 24;
    QTest::newRow("result longer than announced") << old << good << n - 1;
    QTest::newRow("result shorter than announced") << old << good << n + 1;
    QTest::newRow("negative length") << old << good << qint64(-1);
    QTest::newRow("another old program") << QByteArray(old).replace(100, 1, "x") << good << n;
    QTest::newRow("old of another length") << old.left(old.size() - 1) << good << n;
    QTest::newRow("new length huge") << old << with(16, quint64(1) << 62) << n;
    QTest::newRow("new length huge and announced") << old << with(16, quint64(1) << 40) << (qint64(1) << 40);
    QTest::newRow("version 2") << old << QByteArray(good).replace(4, 1, "\x02") << n;
    QTest::newRow("unknown flag") << old << QByteArray(good).replace(5, 1, "\x80") << n;
    QTest::newRow("packed length past the end") << old << with(extra + 8, quint64(1) << 40) << n;
    QTest::newRow("packed length wraps") << old << with(diff + 8, ~quint64(0)) << n;
    QTest::newRow("diff longer than the program") << old << with(diff, quint64(n) + 1) << n;
    QTest::newRow("extra longer than the program") << old << with(extra, quint64(n) + 1) << n;
    QTest::newRow("lengths stream huge") << old << with(streams, quint64(1) << 60) << n;
    QTest::newRow("dictionary of 1 GiB") << old << with(diff + 20, 1u << 30, 4) << n;
    QTest::newRow("all dictionaries large") << old << [&] {
        QByteArray p = good;
        for (int s = 0; s < 5; ++s)
            qToLittleEndian<quint32>(16u << 20, p.data() + streams + s * 24 + 20);
        return p;
    }() << n;
    QTest::newRow("trailing byte") << old << good + '\0' << n;
    QTest::newRow("header only") << old << good.left(152) << n;
    QTest::newRow("not a patch") << old << QByteArray(200, 'x') << n;
}

void TestPatch::hostile()
{
    QFETCH(QByteArray, from);
    QFETCH(QByteArray, patch);
    QFETCH(qint64, resultLength);
    QVERIFY_THROWS_EXCEPTION(PatchError, applyPatch(from, patch, resultLength));
}

// Short of a change that means the same (a larger dictionary), no damaged patch may make
// anything: a cut at any point, a flipped bit anywhere.
void TestPatch::everyCutAndFlipIsRefused()
{
    const QByteArray good = makePatch(old, neu);
    for (qsizetype cut = 0; cut < good.size(); ++cut)
        QVERIFY_THROWS_EXCEPTION(PatchError, applyPatch(old, good.left(cut), neu.size()));
    int refused = 0;
    for (qsizetype i = 0; i < good.size(); ++i) {
        for (int bit : {0, 3, 7}) {
            QByteArray p = good;
            p[i] = char(p[i] ^ (1 << bit));
            try {
                QCOMPARE(applyPatch(old, p, neu.size()), neu);
            } catch (const PatchError &) {
                ++refused;
            }
        }
    }
    QVERIFY2(refused > good.size() * 3 * 9 / 10, qPrintable(QString::number(refused)));
}

void TestPatch::cancelIsHonoured()
{
    const QByteArray big = randomBytes(12 << 20, 4);
    QByteArray changed = big;
    changed[5 << 20] = 'x';
    const QByteArray patch = makePatch(big, changed);
    std::atomic<bool> stop = true;
    QVERIFY_THROWS_EXCEPTION(PatchCancelled, applyPatch(big, patch, changed.size(), &stop));
    stop = false;
    QCOMPARE(applyPatch(big, patch, changed.size(), &stop), changed);
}

QTEST_GUILESS_MAIN(TestPatch)
#include "tst_patch.moc"
