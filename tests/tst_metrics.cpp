// The host's metrics as a scraper reads them: the text format, the bounded
// label set, cumulative histograms and counters that move.
#include "metrics.h"
#include "metricstext.h"

#include <QtTest>

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
    // Served before anything happened, the text is complete and valid;
    // counters then grow by what was added, gauges show the last value.
    void countersMove()
    {
        Metrics metrics;
        const MetricsText empty = MetricsText::parse(metrics.render());
        QVERIFY2(empty.error.isEmpty(), qPrintable(empty.error));
        for (const char *family : { "kelvo_requests_total", "kelvo_request_duration_seconds",
                 "kelvo_work_queue_depth", "kelvo_work_queue_wait_seconds", "kelvo_information_database_up" })
            QVERIFY2(empty.types.contains(QLatin1String(family)), family);
        QVERIFY(empty.value(s("process_resident_memory_bytes")) > 1e6);

        metrics.addWorkerTotals(1, 2, 3);
        metrics.addWorkerTotals(0, 1, 4);
        metrics.countEntrance();
        metrics.setQueueDepth(5);
        metrics.setDatabaseUp(true);
        for (int i = 0; i < 20; ++i)
            metrics.countRequest(s("GET"), s("sync"), 200, 0.01 * i);
        const MetricsText m = MetricsText::parse(metrics.render());
        QVERIFY2(m.error.isEmpty(), qPrintable(m.error));
        QCOMPARE(m.value(s("kelvo_database_errors_total")), 1.0);
        QCOMPARE(m.value(s("kelvo_deadlock_retries_total")), 3.0);
        QCOMPARE(m.value(s("kelvo_database_connections_opened_total")), 7.0);
        QCOMPARE(m.value(s("kelvo_entrances_stored_total")), 1.0);
        QCOMPARE(m.value(s("kelvo_work_queue_depth")), 5.0);
        QCOMPARE(m.value(s("kelvo_information_database_up")), 1.0);
        QCOMPARE(m.value(s("kelvo_request_duration_seconds_count")), 20.0);
        QCOMPARE(m.value(s("kelvo_request_duration_seconds_bucket"), { { s("le"), s("0.1") } }), 11.0);
    }

    void requestLabels_data()
    {
        QTest::addColumn<QString>("method");
        QTest::addColumn<QString>("operation");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("labels"); // method, operation and status as served

        QTest::newRow("known words") << s("POST") << s("entrance") << 201 << s("POST entrance 201");
        QTest::newRow("unknown method") << s("PATCH") << s("sync") << 405 << s("other sync 405");
        QTest::newRow("client's word") << s("GET") << s("x\"y{z}") << 400 << s("GET other 400");
        QTest::newRow("no method") << QString() << s("host") << 400 << s("other host 400");
        QTest::newRow("status out of range") << s("GET") << s("sync") << 12345 << s("GET sync 999");
    }

    // Whatever a client sends, the labels are known words, quoted.
    void requestLabels()
    {
        QFETCH(QString, method);
        QFETCH(QString, operation);
        QFETCH(int, status);
        QFETCH(QString, labels);
        Metrics metrics;
        metrics.countRequest(method, operation, status, 0.003);
        metrics.countRequest(method, operation, status, 0.004);
        const MetricsText m = MetricsText::parse(metrics.render());
        QVERIFY2(m.error.isEmpty(), qPrintable(m.error));
        const QStringList words = labels.split(QLatin1Char(' '));
        const QMap<QString, QString> served { { s("method"), words.at(0) }, { s("operation"), words.at(1) },
            { s("status"), words.at(2) } };
        QCOMPARE(m.value(s("kelvo_requests_total"), served), 2.0);
        QCOMPARE(m.value(s("kelvo_requests_total")), 2.0);
    }

    void histogramBuckets_data()
    {
        QTest::addColumn<double>("seconds");
        QTest::addColumn<QString>("firstBucket"); // the smallest le that counts it

        QTest::newRow("below the first") << 0.0002 << "0.001";
        QTest::newRow("on a bound") << 0.001 << "0.001";
        QTest::newRow("just above") << 0.0011 << "0.0025";
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
        for (const MetricsText::Sample &sample : m.samples) {
            if (sample.name != QLatin1String("kelvo_work_queue_wait_seconds_bucket"))
                continue;
            counted = counted || sample.labels.value(s("le")) == firstBucket;
            QCOMPARE(sample.value, counted ? 1.0 : 0.0);
        }
        QVERIFY(counted);
        QCOMPARE(m.value(s("kelvo_work_queue_wait_seconds_count")), 1.0);
        QCOMPARE(m.value(s("kelvo_work_queue_wait_seconds_sum")), seconds);
    }

    // The parser itself refuses what a scraper would.
    void parserRefuses_data()
    {
        QTest::addColumn<QByteArray>("text");

        QTest::newRow("no TYPE") << QByteArray("a_total 1\n");
        QTest::newRow("unquoted label") << QByteArray("# TYPE a counter\na{x=1} 1\n");
        QTest::newRow("sample twice") << QByteArray("# TYPE a counter\na{x=\"1\"} 1\na{x=\"1\"} 2\n");
        QTest::newRow("not cumulative") << QByteArray(
            "# TYPE h histogram\nh_bucket{le=\"1\"} 2\nh_bucket{le=\"+Inf\"} 1\nh_sum 1\nh_count 1\n");
        QTest::newRow("+Inf is not the count")
            << QByteArray("# TYPE h histogram\nh_bucket{le=\"+Inf\"} 2\nh_sum 1\nh_count 3\n");
    }

    void parserRefuses()
    {
        QFETCH(QByteArray, text);
        QVERIFY(!MetricsText::parse(text).error.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestMetrics)
#include "tst_metrics.moc"
