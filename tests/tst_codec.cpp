// The codecs of the wire: safe Base64, the path hash, and the compact JSON
// writer against Qt's own conversion and writer, and the keyed lists
// against the map they stand for.
#include "compactjson.h"
#include "jsonmap.h"
#include "kelvoworker.h"
#include "testdatabase.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

#include <cmath>
#include <limits>

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
        QTest::newRow("plus, slash, one pad") << QByteArray("\xFB\xFF", 2) << QByteArray("-_8@") << true;
        QTest::newRow("two pads") << QByteArray("a") << QByteArray("YQ@@") << true;
        QTest::newRow("padding dropped") << QByteArray("ab") << QByteArray("YWI") << false;
        QTest::newRow("standard padding, foreign characters")
            << QByteArray("abc") << QByteArray("YW! Jj=\n") << false;
    }
    void safeBase64()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QByteArray, text);
        QCOMPARE(HttpPluginWorker::decodeSafeBase64(text), bytes);
        QFETCH(bool, encodes);
        if (encodes)
            QCOMPARE(HttpPluginWorker::encodeSafeBase64(bytes), text);
        QByteArray all;
        for (int i = 0; i < 256; ++i)
            all.append(char(i));
        QCOMPARE(HttpPluginWorker::decodeSafeBase64(HttpPluginWorker::encodeSafeBase64(all)), all);
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
        row("negative first counts by its magnitude", "-2147483648.1", true, 2147483648u, 1);
        row("zero second", "12.0", false, 12, 0);
        row("no dot", "12", false, 0, 0);
        row("three pieces", "1.2.3", true, 1, 2);
        row("second beyond 32 bits", "1.4294967296", false, 1, 0);
        row("largest second", "1.4294967295", true, 1, 4294967295u);
        row("text after a zero byte ignored", QByteArray("3.4\0009", 5), true, 3, 4);
        QTest::newRow("not Base64") << QStringLiteral("!!!") << false << 0u << 0u;
    }
    void parseHash()
    {
        QFETCH(QString, hash);
        quint32 a = 99, b = 99;
        QTEST(KelvoWorker::parseHash(hash, a, b), "ok");
        QTEST(uint(a), "first");
        QTEST(uint(b), "second");
    }

    // Every type a handler puts into an answer, the edges of the number
    // formats and texts that need escapes (the records written field by
    // field: the download lists).
    void writer_data()
    {
        QTest::addColumn<QVariant>("value");
        constexpr qint64 exact = qint64(1) << 53; // beyond it integers take Qt's road through double
        using Int = std::numeric_limits<int>;
        using Int64 = std::numeric_limits<qint64>;
        QTest::newRow("null, bool, 32 bits")
            << QVariant(QVariantList { QVariant(), QVariant::fromValue(nullptr), true, false, -1, Int::min(),
                   Int::max(), std::numeric_limits<uint>::max() });
        QTest::newRow("64 bits") << QVariant(
            QVariantList { exact, exact + 1, -exact, -exact - 1, Int64::min(), Int64::max(), quint64(exact),
                quint64(exact) + 1, std::numeric_limits<quint64>::max() });
        QVariantList doubles { -0.0, 0.1 + 0.2, 5e-324, -2.5e-300, 1.7976931348623157e308, double(exact),
            double(exact) + 2, qInf(), -qInf(), qQNaN(), QVariant::fromValue(0.1f) };
        for (int e = -8; e <= 22; ++e)
            doubles << std::pow(10.0, e) << -std::pow(10.0, e) / 3;
        QTest::newRow("doubles") << QVariant(doubles);
        // Control characters, quotes, 2- to 4-byte characters, lone surrogates (the last at the end).
        static const char16_t units[] = { 0x0, 0x1, '\b', '\t', '\n', '\f', '\r', 0x1f, '"', '\\', '/', 'a',
            0x7f, 0x80, 0xe9, 0x7ff, 0x800, 0x20ac, 0xffff, 0xd83d, 0xde00, 0xdbff, 'a', 0xdfff, 0xd83d,
            0xd83d, 0xde00, 0xdbff };
        const QString text(reinterpret_cast<const QChar *>(units), int(std::size(units)));
        QTest::newRow("text") << QVariant(text);
        // Written a piece of 4096 units at a time: a pair across the first
        // boundary, escapes across the next.
        QTest::newRow("long text") << QVariant(
            QString(4095, QLatin1Char('a')) + QChar(0xd83d) + QChar(0xde00) + text.repeated(300));
        QTest::newRow("texts as keys, nesting")
            << QVariant(QVariantMap { { text, 1 }, { QString(), QVariantMap() },
                   { s("l"),
                       QVariantList { QVariantList(), QVariantMap { { text, QVariantList { 2, text } } },
                           QStringList { text, QString() } } } });
        QTest::newRow("types Qt converts") << QVariant(QVariantList { QByteArray("\xff\0z", 3),
            QVariant::fromValue<uchar>(200), QVariant::fromValue<short>(-3), QDate(2020, 1, 2) });
    }
    void writer()
    {
        QFETCH(QVariant, value);
        const QVariantMap map { { s("m"), value } };
        QCOMPARE(CompactJson::fromMap(map),
            QJsonDocument(QJsonObject::fromVariantMap(map)).toJson(QJsonDocument::Compact));
    }

    // The keyed lists against the map they stand for: keys as text ("10"
    // before "9"), the later value of a key winning.
    void keyedMap()
    {
        const QList<quint32> keys { 9, 10, 100, 9, 4294967295u, 0, 10, 1, 91, 9 };
        JsonMap keyed;
        QVariantMap map;
        for (int i = 0; i < keys.size(); ++i) {
            CompactJson::appendInteger(keyed.insert(keys.at(i)), i);
            map.insert(QString::number(keys.at(i)), i);
        }
        int written = -1;
        QCOMPARE(keyed.toJson(&written), CompactJson::fromMap(map));
        QCOMPARE(written, map.size());
        QCOMPARE(JsonMap().toJson(), QByteArray("{}"));
    }
};

QTEST_GUILESS_MAIN(TstCodec)
#include "tst_codec.moc"
