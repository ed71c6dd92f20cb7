// The compact JSON writer against Qt's own conversion and writer: the same
// bytes for every value type, nesting, escapes, non-ASCII text and numbers at
// the edges, and for many generated maps.
#include "compactjson.h"
#include "jsonrecord.h"

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

QString randomText(QRandomGenerator &random)
{
    // Control characters, quotes, backslashes, ASCII, 2- and 3-byte
    // characters, surrogate pairs and lone surrogates.
    static const char16_t units[] = { 0x0, 0x1, 0x8, 0x9, 0xa, 0xc, 0xd, 0x1f, '"', '\\', '/', 'a', 'Z', 0x7f,
        0x80, 0xe9, 0x7ff, 0x800, 0x20ac, 0xfffd, 0xffff, 0xd83d, 0xde00, 0xdbff, 0xdfff };
    QString text;
    const int length = random.bounded(12);
    for (int i = 0; i < length; ++i)
        text.append(QChar(units[random.bounded(int(std::size(units)))]));
    return text;
}

QVariant randomValue(QRandomGenerator &random, int depth);

QVariantMap randomMap(QRandomGenerator &random, int depth)
{
    QVariantMap map;
    const int size = random.bounded(6);
    for (int i = 0; i < size; ++i)
        map.insert(randomText(random), randomValue(random, depth + 1));
    return map;
}

QVariant randomValue(QRandomGenerator &random, int depth)
{
    const int kinds = depth < 4 ? 12 : 9;
    switch (random.bounded(kinds)) {
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
        return double(qint64(random.generate64()) >> random.bounded(10, 64));
    case 8:
        return randomText(random);
    case 9:
        return randomMap(random, depth);
    case 10: {
        QVariantList list;
        for (int i = random.bounded(4); i > 0; --i)
            list << randomValue(random, depth + 1);
        return list;
    }
    default:
        return QStringList { randomText(random), randomText(random) };
    }
}

} // namespace

class TstCompactJson : public QObject
{
    Q_OBJECT

private slots:
    void sameBytesAsQt_data()
    {
        QTest::addColumn<QVariant>("value");
        const auto row = [](const char *tag, const QVariant &v) { QTest::newRow(tag) << v; };
        row("null", QVariant());
        row("null string", QString());
        row("bools", QVariantList { true, false });
        row("int edges",
            QVariantList { 0, -1, std::numeric_limits<int>::min(), std::numeric_limits<int>::max() });
        row("uint max", std::numeric_limits<uint>::max());
        row("2^53", qint64(1) << 53);
        row("2^53 + 1", (qint64(1) << 53) + 1);
        row("-2^53 - 1", -(qint64(1) << 53) - 1);
        row("int64 min", std::numeric_limits<qint64>::min());
        row("uint64 max", std::numeric_limits<quint64>::max());
        row("doubles",
            QVariantList { 0.0, -0.0, 0.5, 1.0 / 3, 1e-7, 3.0, 1e15, 1e16, 1e19, 1e20, 1e300, -2.5e-300 });
        row("not finite", QVariantList { qInf(), -qInf(), qQNaN() });
        row("escapes", QStringLiteral("\"\\/\b\f\n\r\t\x01\x1f\x7f"));
        row("non-ASCII", QStringLiteral("Zoë Ünal 漢字 😀 \u00a0"));
        const QChar lone[] = { QChar(0xd800), QLatin1Char('x'), QChar(0xdc00), QChar(0xd800) };
        row("lone surrogates", QString(lone, 4));
        row("nested",
            QVariantMap { { QStringLiteral("a"),
                              QVariantList { QVariantMap { { QStringLiteral("b"), QVariantList {} } } } },
                { QStringLiteral("é"), QVariantMap {} } });
        row("string list", QStringList { QStringLiteral("x"), QString() });
        row("byte array", QByteArray("\xff\x00z", 3));
        row("other types",
            QVariantList { QVariant::fromValue<short>(-3), QVariant::fromValue<uchar>(200),
                QVariant::fromValue<float>(0.1f), QDate(2020, 1, 2), QChar(QLatin1Char('z')),
                QVariant::fromValue<qulonglong>(5) });
    }
    void sameBytesAsQt()
    {
        QFETCH(QVariant, value);
        const QVariantMap map { { QStringLiteral("v"), value }, { QStringLiteral("Z\"k"), 1 } };
        QCOMPARE(CompactJson::fromMap(map), byQt(map));
    }

    // A record written field by field has the bytes of the map it replaces,
    // also as a value inside the answer map.
    void recordsAsTheirMaps()
    {
        static const char *const keys[] = { "access", "admin", "card", "grp", "iid", "name", "pid", "present",
            "saldo", "surname", "title", "title2", "tsc", "type", "uid", "weight" };
        QRandomGenerator random(7);
        for (int i = 0; i < 500; ++i) {
            JsonRecord record;
            QVariantMap map;
            const auto add = [&](const char *key, const auto &value) {
                record.add(key, value);
                map.insert(QLatin1String(key), value);
            };
            for (const char *key : keys) {
                switch (random.bounded(5)) {
                case 0:
                    add(key, random.bounded(2) == 1);
                    break;
                case 1:
                    add(key, int(random.generate()));
                    break;
                case 2:
                    add(key, uint(random.generate()));
                    break;
                case 3:
                    add(key, randomText(random));
                    break;
                default:
                    break; // left out
                }
            }
            QCOMPARE(record.toJson(), byQt(map));
            QCOMPARE(CompactJson::fromMap({ { QStringLiteral("r"), QVariantList { record.toVariant() } } }),
                byQt({ { QStringLiteral("r"), QVariantList { map } } }));
        }
    }

    void generatedMaps()
    {
        QRandomGenerator random(20261206);
        for (int i = 0; i < 3000; ++i) {
            const QVariantMap map = randomMap(random, 0);
            const QByteArray mine = CompactJson::fromMap(map);
            const QByteArray qt = byQt(map);
            if (mine != qt)
                QFAIL(qPrintable(QStringLiteral("map %1:\n ours %2\n Qt's %3")
                                     .arg(i)
                                     .arg(QString::fromUtf8(mine), QString::fromUtf8(qt))));
        }
    }
};

QTEST_GUILESS_MAIN(TstCompactJson)
#include "tst_compactjson.moc"
