// The host's metrics as a scraper reads them: the text format, the bounded
// label set, cumulative histograms and counters that move.
#include "metrics.h"
#include "metricstext.h"

#include <QtTest>

using Labels = QMap<QString, QString>;

namespace {

QString s(const char *text)
{
    return QString::fromUtf8(text);
}

} // namespace

class TestMetrics : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Served before anything happened, the text is already complete and valid.
    void emptyIsValid()
    {
        const Metrics metrics;
        const MetricsText m = MetricsText::parse(metrics.render());
        QVERIFY2(m.error.isEmpty(), qPrintable(m.error));
        for (const char *family : { "kelvo_requests_total", "kelvo_request_duration_seconds",
                 "kelvo_work_queue_depth", "kelvo_work_queue_wait_seconds", "kelvo_database_errors_total",
                 "kelvo_deadlock_retries_total", "kelvo_database_connections_opened_total",
                 "kelvo_entrances_stored_total", "kelvo_information_database_up",
                 "process_resident_memory_bytes" })
            QVERIFY2(m.types.contains(QLatin1String(family)), family);
        QCOMPARE(m.value(QStringLiteral("kelvo_request_duration_seconds_count")), 0.0);
        QVERIFY(m.value(QStringLiteral("process_resident_memory_bytes")) > 1e6);
    }

    void requestLabels_data()
    {
        QTest::addColumn<QString>("method");
        QTest::addColumn<QString>("operation");
        QTest::addColumn<int>("status");
        QTest::addColumn<Labels>("labels");

        const auto labels = [](const char *method, const char *operation, const char *status) {
            return Labels { { QStringLiteral("method"), QLatin1String(method) },
                { QStringLiteral("operation"), QLatin1String(operation) },
                { QStringLiteral("status"), QLatin1String(status) } };
        };
        QTest::newRow("known words") << "POST"
                                     << "entrance" << 201 << labels("POST", "entrance", "201");
        QTest::newRow("host answer") << "GET" << Metrics::hostOperation << 404
                                     << labels("GET", "host", "404");
        QTest::newRow("unknown method") << "PATCH"
                                        << "sync" << 405 << labels("other", "sync", "405");
        QTest::newRow("lower-case method") << "get"
                                           << "sync" << 405 << labels("other", "sync", "405");
        QTest::newRow("client's word") << "GET"
                                       << "x\"y{z}" << 400 << labels("GET", "other", "400");
        QTest::newRow("no method") << ""
                                   << "host" << 400 << labels("other", "host", "400");
        QTest::newRow("status out of range") << "GET"
                                             << "sync" << 12345 << labels("GET", "sync", "999");
    }

    // Whatever a client sends, the labels are known words, quoted.
    void requestLabels()
    {
        QFETCH(QString, method);
        QFETCH(QString, operation);
        QFETCH(int, status);
        QFETCH(Labels, labels);
        Metrics metrics;
        metrics.countRequest(method, operation, status, 0.003);
        metrics.countRequest(method, operation, status, 0.004);
        const MetricsText m = MetricsText::parse(metrics.render());
        QVERIFY2(m.error.isEmpty(), qPrintable(m.error));
        QCOMPARE(m.value(QStringLiteral("kelvo_requests_total"), labels), 2.0);
        QCOMPARE(m.value(QStringLiteral("kelvo_requests_total")), 2.0);
    }

    void histogramBuckets_data()
    {
        QTest::addColumn<double>("seconds");
        QTest::addColumn<QString>("firstBucket"); // the smallest le that counts it

        QTest::newRow("below the first") << 0.0002 << "0.001";
        QTest::newRow("on a bound") << 0.001 << "0.001";
        QTest::newRow("just above") << 0.0011 << "0.0025";
        QTest::newRow("last bound") << 10.0 << "10";
        QTest::newRow("beyond all") << 42.0 << "+Inf";
    }

    // A bound includes its value; buckets are cumulative; sum and count follow.
    void histogramBuckets()
    {
        QFETCH(double, seconds);
        QFETCH(QString, firstBucket);
        Metrics metrics;
        metrics.countQueueWait(seconds);
        const MetricsText m = MetricsText::parse(metrics.render());
        QVERIFY2(m.error.isEmpty(), qPrintable(m.error));
        bool counted = false;
        for (const MetricsText::Sample &s : m.samples) {
            if (s.name != QLatin1String("kelvo_work_queue_wait_seconds_bucket"))
                continue;
            counted = counted || s.labels.value(QStringLiteral("le")) == firstBucket;
            QCOMPARE(s.value, counted ? 1.0 : 0.0);
        }
        QVERIFY(counted);
        QCOMPARE(m.value(QStringLiteral("kelvo_work_queue_wait_seconds_count")), 1.0);
        QCOMPARE(m.value(QStringLiteral("kelvo_work_queue_wait_seconds_sum")), seconds);
    }

    // Counters only grow, by what was added; gauges show the last value.
    void countersMove()
    {
        Metrics metrics;
        metrics.addWorkerTotals(1, 2, 3);
        metrics.addWorkerTotals(0, 1, 4);
        metrics.countEntrance();
        metrics.setQueueDepth(5);
        metrics.setDatabaseUp(true);
        for (int i = 0; i < 20; ++i)
            metrics.countRequest(QStringLiteral("GET"), QStringLiteral("sync"), 200, 0.01 * i);
        const MetricsText m = MetricsText::parse(metrics.render());
        QVERIFY2(m.error.isEmpty(), qPrintable(m.error));
        QCOMPARE(m.value(QStringLiteral("kelvo_database_errors_total")), 1.0);
        QCOMPARE(m.value(QStringLiteral("kelvo_deadlock_retries_total")), 3.0);
        QCOMPARE(m.value(QStringLiteral("kelvo_database_connections_opened_total")), 7.0);
        QCOMPARE(m.value(QStringLiteral("kelvo_entrances_stored_total")), 1.0);
        QCOMPARE(m.value(QStringLiteral("kelvo_work_queue_depth")), 5.0);
        QCOMPARE(m.value(QStringLiteral("kelvo_information_database_up")), 1.0);
        QCOMPARE(m.value(QStringLiteral("kelvo_request_duration_seconds_count")), 20.0);
        QCOMPARE(m.value(QStringLiteral("kelvo_request_duration_seconds_bucket"), { { s("le"), s("0.1") } }),
            11.0);
    }

    // The parser itself refuses what a scraper would.
    void parserRefuses_data()
    {
        QTest::addColumn<QByteArray>("text");

        QTest::newRow("no TYPE") << QByteArray("a_total 1\n");
        QTest::newRow("unquoted label") << QByteArray("# TYPE a counter\na{x=1} 1\n");
        QTest::newRow("TYPE twice") << QByteArray("# TYPE a counter\n# TYPE a counter\n");
        QTest::newRow("sample twice") << QByteArray("# TYPE a counter\na{x=\"1\"} 1\na{x=\"1\"} 2\n");
        QTest::newRow("not cumulative") << QByteArray(
            "# TYPE h histogram\nh_bucket{le=\"1\"} 2\nh_bucket{le=\"+Inf\"} 1\nh_sum 1\nh_count 1\n");
        QTest::newRow("+Inf is not the count")
            << QByteArray("# TYPE h histogram\nh_bucket{le=\"+Inf\"} 2\nh_sum 1\nh_count 3\n");
        QTest::newRow("no last line end") << QByteArray("# TYPE a gauge\na 1");
    }

    void parserRefuses()
    {
        QFETCH(QByteArray, text);
        QVERIFY(!MetricsText::parse(text).error.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestMetrics)
#include "tst_metrics.moc"
