// The codecs of the wire: safe Base64, the path hash, and the compact JSON
// writer against Qt's own conversion and writer.
#include "compactjson.h"
#include "kelvoworker.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QtTest>

#include <limits>

namespace {

QByteArray byQt(const QVariantMap &map)
{
    return QJsonDocument(QJsonObject::fromVariantMap(map)).toJson(QJsonDocument::Compact);
}

// Control characters, quotes, backslashes, 2- and 3-byte characters, surrogate pairs and lone surrogates.
QString randomText(QRandomGenerator &random)
{
    static const char16_t units[] = { 0x0, 0x1, 0x9, 0xa, 0x1f, '"', '\\', '/', 'a', 0x7f, 0x80, 0xe9, 0x7ff,
        0x800, 0x20ac, 0xffff, 0xd83d, 0xde00, 0xdbff, 0xdfff };
    QString text;
    for (int i = random.bounded(12); i > 0; --i)
        text.append(QChar(units[random.bounded(int(std::size(units)))]));
    return text;
}

QVariant randomValue(QRandomGenerator &random, int depth)
{
    switch (random.bounded(depth < 4 ? 11 : 9)) {
    case 0:
        return QVariant();
    case 1:
        return random.bounded(2) == 0;
    case 2:
        return int(random.generate());
    case 3:
        return uint(random.generate());
    case 4:
        return qint64(random.generate64()) >> random.bounded(64);
    case 5:
        return quint64(random.generate64()) >> random.bounded(64);
    case 6:
        return random.generateDouble() * std::pow(10.0, random.bounded(-8, 22))
            * (random.bounded(2) ? 1 : -1);
    case 7:
        return randomText(random);
    case 8: { // edges of the number formats and the other types a handler may put in
        static const QVariantList edges { std::numeric_limits<int>::min(), std::numeric_limits<uint>::max(),
            (qint64(1) << 53) + 1, std::numeric_limits<qint64>::min(), std::numeric_limits<quint64>::max(),
            -0.0, 1e16, 1e20, -2.5e-300, qInf(), qQNaN(), QString(), QByteArray("\xff\0z", 3),
            QVariant::fromValue<uchar>(200), QVariant::fromValue<float>(0.1f), QDate(2020, 1, 2),
            QStringList { QStringLiteral("x") } };
        return edges.at(random.bounded(edges.size()));
    }
    case 9: {
        QVariantMap map;
        for (int i = random.bounded(6); i > 0; --i)
            map.insert(randomText(random), randomValue(random, depth + 1));
        return map;
    }
    default: {
        QVariantList list;
        for (int i = random.bounded(4); i > 0; --i)
            list << randomValue(random, depth + 1);
        return list;
    }
    }
}

} // namespace

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

    // Generated values have Qt's bytes (records written field by field: the download lists).
    void generatedValues()
    {
        QRandomGenerator random(20261206);
        for (int i = 0; i < 3000; ++i) {
            const QVariantMap map { { QStringLiteral("m"), randomValue(random, 0) } };
            QCOMPARE(CompactJson::fromMap(map), byQt(map));
        }
    }
};

QTEST_GUILESS_MAIN(TstCodec)
#include "tst_codec.moc"
