#include "kelvoworker.h"

#include <QtTest>

// Safe Base64 and the hash form of path parts.
class TstCodec : public QObject
{
    Q_OBJECT
private slots:
    // encodes: the text is what bytes encode to; otherwise a text that decodes leniently.
    void safeBase64_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<bool>("encodes");
        const auto row = [](const char *tag, const QByteArray &bytes, const char *text, bool encodes) {
            QTest::newRow(tag) << bytes << QByteArray(text) << encodes;
        };
        row("three bytes, no padding", "abc", "YWJj", true);
        row("one pad", "ab", "YWI@", true);
        row("two pads", "a", "YQ@@", true);
        row("plus and slash", QByteArray("\xFB\xFF", 2), "-_8@", true);
        row("empty", QByteArray(), "", true);
        row("zero bytes", QByteArray(4, '\0'), "AAAAAA@@", true);
        row("padding dropped", "ab", "YWI", false);
        row("only foreign characters", QByteArray(), "!!!", false);
        row("foreign characters and white space skipped", "abc", "YW! Jj\n", false);
        row("standard padding too", "ab", "YWI=", false);
        row("padding in the middle is skipped", QByteArray("a\x06\x16&", 4), "YQ@@YWJj", false);
        row("lone character yields nothing", QByteArray(), "Y", false);
    }
    void safeBase64()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QByteArray, text);
        QCOMPARE(HttpPluginWorker::decodeSafeBase64(text), bytes);
        QFETCH(bool, encodes);
        if (encodes)
            QCOMPARE(HttpPluginWorker::encodeSafeBase64(bytes), text);
    }

    void roundTripAllBytes()
    {
        QByteArray all;
        for (int i = 0; i < 256; ++i)
            all.append(char(i));
        for (int cut = 0; cut < 4; ++cut) {
            const QByteArray bytes = all.left(all.size() - cut);
            const QByteArray text = HttpPluginWorker::encodeSafeBase64(bytes);
            QVERIFY(!text.contains('+') && !text.contains('/') && !text.contains('='));
            QCOMPARE(HttpPluginWorker::decodeSafeBase64(text), bytes);
        }
    }

    void parseHash_data()
    {
        QTest::addColumn<QString>("hash");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<uint>("first");
        QTest::addColumn<uint>("second");
        const auto row = [](const char *tag, const QByteArray &plain, bool ok, uint first, uint second) {
            QTest::newRow(tag) << QString::fromLatin1(HttpPluginWorker::encodeSafeBase64(plain)) << ok
                               << first << second;
        };
        row("pair", "12.345", true, 12, 345);
        row("negative first", "-12.345", true, 12, 345);
        row("zero second", "12.0", false, 12, 0);
        row("no dot", "12", false, 0, 0);
        row("three pieces", "1.2.3", true, 1, 2);
        row("empty", QByteArray(), false, 0, 0);
        row("leading dot", ".5", false, 0, 0);
        row("double dot", "7..9", true, 7, 9);
        row("not numbers", "a.b", false, 0, 0);
        row("second beyond 32 bits", "1.4294967296", false, 1, 0);
        row("largest second", "1.4294967295", true, 1, 4294967295u);
        row("first beyond signed", "2147483648.1", false, 0, 1);
        row("most negative first", "-2147483648.1", true, 2147483648u, 1);
        row("text after zero byte ignored",
            QByteArray("3.4\0"
                       "9",
                5),
            true, 3, 4);
        row("zero byte before the dot", QByteArray("3\0.4", 4), false, 0, 0);
        QTest::newRow("not Base64") << QStringLiteral("!!!") << false << 0u << 0u;
        QTest::newRow("not Latin-1") << QStringLiteral("\u00e9\u00e9\u00e9\u00e9") << false << 0u << 0u;
    }
    void parseHash()
    {
        QFETCH(QString, hash);
        quint32 a = 99, b = 99;
        QTEST(KelvoWorker::parseHash(hash, a, b), "ok");
        QTEST(uint(a), "first");
        QTEST(uint(b), "second");
    }
};

QTEST_GUILESS_MAIN(TstCodec)
#include "tst_codec.moc"
