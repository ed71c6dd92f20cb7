// The host's metrics as a scraper reads them: the text format, a bounded
// label set, cumulative histograms.
#include "metrics.h"

#include <QtTest>

namespace {

QString s(const char *text)
{
    return QString::fromUtf8(text);
}

// The first line a scraper would refuse (a sample twice, or not of a family
// declared before it, a name or label out of syntax), or empty.
QString refused(const QByteArray &text)
{
    static const QRegularExpression sample(
        s(R"(^([a-z_]+)(\{[a-z]+="[^"\\\n]*"(,[a-z]+="[^"\\\n]*")*\})? (\d+(\.\d+)?|\+Inf)$)"));
    static const QRegularExpression histogramSuffix(s("_(bucket|sum|count)$"));
    QHash<QString, QString> types;
    QSet<QString> seen;
    for (const QString &line : QString::fromLatin1(text).split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        const QStringList words = line.split(QLatin1Char(' '));
        if (line.startsWith(s("# HELP ")))
            continue;
        if (words.value(1) == s("TYPE") && words.size() == 4 && !types.contains(words.at(2))) {
            types.insert(words.at(2), words.at(3));
            continue;
        }
        const QRegularExpressionMatch m = sample.match(line);
        const QString name = m.captured(1);
        if (!m.hasMatch() || seen.contains(name + m.captured(2))
            || !(
                types.contains(name) || types.value(QString(name).remove(histogramSuffix)) == s("histogram")))
            return line;
        seen.insert(name + m.captured(2));
    }
    return text.endsWith('\n') ? QString() : s("(no line end)");
}

} // namespace

class TestMetrics : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void requests_data()
    {
        QTest::addColumn<QString>("method");
        QTest::addColumn<QString>("operation");
        QTest::addColumn<int>("status");
        QTest::addColumn<double>("seconds");
        QTest::addColumn<QStringList>("lines"); // in the text after two such requests

        const QString bucket = s("kelvo_request_duration_seconds_bucket{le=\"%1\"} %2");
        QTest::newRow("known words")
            << s("POST") << s("entrance") << 201 << 0.0002
            << QStringList { s(R"(kelvo_requests_total{method="POST",operation="entrance",status="201"} 2)"),
                   bucket.arg(s("0.001")).arg(2) };
        // Whatever a client sends, the labels are known words.
        QTest::newRow("unknown method, on a bound")
            << s("PATCH") << s("sync") << 405 << 0.001
            << QStringList { s(R"(kelvo_requests_total{method="other",operation="sync",status="405"} 2)"),
                   bucket.arg(s("0.001")).arg(2) };
        QTest::newRow("client's word, just above")
            << s("GET") << s("x\"y{z}") << 400 << 0.0011
            << QStringList { s(R"(kelvo_requests_total{method="GET",operation="other",status="400"} 2)"),
                   bucket.arg(s("0.001")).arg(0), bucket.arg(s("0.0025")).arg(2),
                   bucket.arg(s("0.005")).arg(2) };
        QTest::newRow("no method")
            << QString() << s("host") << 400 << 0.003
            << QStringList { s(R"(kelvo_requests_total{method="other",operation="host",status="400"} 2)") };
        QTest::newRow("status out of range, beyond all buckets")
            << s("GET") << s("sync") << 12345 << 42.0
            << QStringList { s(R"(kelvo_requests_total{method="GET",operation="sync",status="999"} 2)"),
                   bucket.arg(s("10")).arg(0), bucket.arg(s("+Inf")).arg(2),
                   s("kelvo_request_duration_seconds_sum 84.000000"),
                   s("kelvo_request_duration_seconds_count 2") };
    }

    // The text is valid before anything is counted and after; a bucket
    // includes its bound, buckets are cumulative, sum and count follow.
    void requests()
    {
        QFETCH(QString, method);
        QFETCH(QString, operation);
        QFETCH(int, status);
        QFETCH(double, seconds);
        QFETCH(QStringList, lines);
        Metrics metrics;
        QCOMPARE(refused(metrics.render()), QString());
        metrics.countRequest(method, operation, status, seconds);
        metrics.countRequest(method, operation, status, seconds);
        const QString text = QString::fromLatin1(metrics.render());
        QCOMPARE(refused(text.toLatin1()), QString());
        QCOMPARE(text.count(s("kelvo_requests_total{")), 1);
        for (const QString &line : lines)
            QVERIFY2(text.contains(QLatin1Char('\n') + line + QLatin1Char('\n')), qPrintable(line));
    }
};

QTEST_GUILESS_MAIN(TestMetrics)
#include "tst_metrics.moc"
