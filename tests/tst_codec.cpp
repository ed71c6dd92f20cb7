#include "kelvoworker.h"

#include <QtTest>

// Safe Base64, reason phrases and the hash form of path parts.
class TstCodec : public QObject
{
    Q_OBJECT
private slots:
    void encode_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QByteArray>("text");
        QTest::newRow("three bytes, no padding") << QByteArray("abc") << QByteArray("YWJj");
        QTest::newRow("one pad") << QByteArray("ab") << QByteArray("YWI@");
        QTest::newRow("two pads") << QByteArray("a") << QByteArray("YQ@@");
        QTest::newRow("plus and slash") << QByteArray("\xFB\xFF", 2) << QByteArray("-_8@");
        QTest::newRow("empty") << QByteArray() << QByteArray();
        QTest::newRow("zero bytes") << QByteArray("\0\0\0\0", 4) << QByteArray("AAAAAA@@");
    }
    void encode()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QByteArray, text);
        QCOMPARE(HttpPluginWorker::encodeSafeBase64(bytes), text);
        QCOMPARE(HttpPluginWorker::decodeSafeBase64(text), bytes);
    }

    void decodeLenient_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("padding dropped") << QByteArray("YWI") << QByteArray("ab");
        QTest::newRow("empty") << QByteArray("") << QByteArray();
        QTest::newRow("only foreign characters") << QByteArray("!!!") << QByteArray();
        QTest::newRow("foreign characters skipped") << QByteArray("YW!!Jj") << QByteArray("abc");
        QTest::newRow("white space skipped") << QByteArray("YW Jj\n") << QByteArray("abc");
        QTest::newRow("standard padding too") << QByteArray("YWI=") << QByteArray("ab");
        QTest::newRow("padding in the middle is skipped")
            << QByteArray("YQ@@YWJj") << QByteArray("a\x06\x16&", 4);
        QTest::newRow("lone character yields nothing") << QByteArray("Y") << QByteArray();
    }
    void decodeLenient()
    {
        QFETCH(QByteArray, text);
        QFETCH(QByteArray, bytes);
        QCOMPARE(HttpPluginWorker::decodeSafeBase64(text), bytes);
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

    void statusText_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("text");
        QTest::newRow("100") << 100 << QStringLiteral("Continue");
        QTest::newRow("199") << 199 << QStringLiteral("Information");
        QTest::newRow("200") << 200 << QStringLiteral("OK");
        QTest::newRow("208") << 208 << QStringLiteral("Already Reported");
        QTest::newRow("209") << 209 << QStringLiteral("Success");
        QTest::newRow("300") << 300 << QStringLiteral("Multiple Choices");
        QTest::newRow("306") << 306 << QStringLiteral("Redirect");
        QTest::newRow("400") << 400 << QStringLiteral("Bad Request");
        QTest::newRow("418") << 418 << QStringLiteral("I'm a teapot");
        QTest::newRow("420") << 420 << QStringLiteral("Client Error");
        QTest::newRow("422") << 422 << QStringLiteral("Unprocessable Entity");
        QTest::newRow("500") << 500 << QStringLiteral("Internal Server Error");
        QTest::newRow("509") << 509 << QStringLiteral("Server Error");
        QTest::newRow("599") << 599 << QStringLiteral("Network Connect Timeout Error");
        QTest::newRow("600") << 600 << QStringLiteral("Unknown");
        QTest::newRow("99") << 99 << QStringLiteral("Unknown");
        QTest::newRow("0") << 0 << QStringLiteral("Unknown");
        QTest::newRow("65535") << 65535 << QStringLiteral("Unknown");
    }
    void statusText()
    {
        QFETCH(int, code);
        QFETCH(QString, text);
        QCOMPARE(HttpPluginWorker::statusText(quint16(code)), text);
    }

    void parseHash_data()
    {
        QTest::addColumn<QByteArray>("plain");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<uint>("first");
        QTest::addColumn<uint>("second");
        QTest::newRow("pair") << QByteArray("12.345") << true << 12u << 345u;
        QTest::newRow("negative first") << QByteArray("-12.345") << true << 12u << 345u;
        QTest::newRow("zero second") << QByteArray("12.0") << false << 12u << 0u;
        QTest::newRow("no dot") << QByteArray("12") << false << 0u << 0u;
        QTest::newRow("three pieces") << QByteArray("1.2.3") << true << 1u << 2u;
        QTest::newRow("empty") << QByteArray() << false << 0u << 0u;
        QTest::newRow("leading dot") << QByteArray(".5") << false << 0u << 0u;
        QTest::newRow("double dot") << QByteArray("7..9") << true << 7u << 9u;
        QTest::newRow("not numbers") << QByteArray("a.b") << false << 0u << 0u;
        QTest::newRow("second beyond 32 bits") << QByteArray("1.4294967296") << false << 1u << 0u;
        QTest::newRow("largest second") << QByteArray("1.4294967295") << true << 1u << 4294967295u;
        QTest::newRow("first beyond signed") << QByteArray("2147483648.1") << false << 0u << 1u;
        QTest::newRow("most negative first") << QByteArray("-2147483648.1") << true << 2147483648u << 1u;
        QTest::newRow("text after zero byte ignored") << QByteArray("3.4\0"
                                                                    "9",
            5) << true << 3u << 4u;
        QTest::newRow("zero byte before the dot") << QByteArray("3\0.4", 4) << false << 0u << 0u;
    }
    void parseHash()
    {
        QFETCH(QByteArray, plain);
        QFETCH(bool, ok);
        QFETCH(uint, first);
        QFETCH(uint, second);
        quint32 a = 99, b = 99;
        const QString hash = QString::fromLatin1(HttpPluginWorker::encodeSafeBase64(plain));
        QCOMPARE(KelvoWorker::parseHash(hash, a, b), ok);
        QCOMPARE(a, first);
        QCOMPARE(b, second);
    }

    void parseHashRejectsGarbage()
    {
        quint32 a = 1, b = 1;
        QVERIFY(!KelvoWorker::parseHash(QStringLiteral("!!!"), a, b));
        QCOMPARE(a, 0u);
        QCOMPARE(b, 0u);
        QVERIFY(!KelvoWorker::parseHash(QStringLiteral("\u00e9\u00e9\u00e9\u00e9"), a, b));
    }
};

QTEST_GUILESS_MAIN(TstCodec)
#include "tst_codec.moc"
