#pragma once

#include <QHash>
#include <QMap>
#include <QString>
#include <QVector>

// What a scraper reads from a /metrics answer in the Prometheus text format
// (version 0.0.4), checked as strictly as a scraper would: every sample of a
// declared family (TYPE before its samples, declared once), names and label
// values in their syntax, label values quoted, no sample twice, histogram
// buckets ascending and cumulative with +Inf equal to the count.
struct MetricsText
{
    struct Sample
    {
        QString name;
        QMap<QString, QString> labels;
        double value = 0;
    };

    QHash<QString, QString> types; // family -> counter, gauge, histogram...
    QVector<Sample> samples;
    QString error; // the first violation; empty when the text is valid

    static MetricsText parse(const QByteArray &text);
    // The sum over the samples named name whose labels include labels.
    double value(const QString &name, const QMap<QString, QString> &labels = {}) const;
};
