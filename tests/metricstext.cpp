#include "metricstext.h"

#include <QRegularExpression>
#include <QSet>

#include <cmath>

namespace {

const QRegularExpression sampleLine(QStringLiteral("^([a-zA-Z_:][a-zA-Z0-9_:]*)(?:\\{(.*)\\})? ([^ ]+)$"));
const QRegularExpression typeLine(
    QStringLiteral("^# TYPE ([a-zA-Z_:][a-zA-Z0-9_:]*) (counter|gauge|histogram|summary|untyped)$"));
const QRegularExpression label(
    QStringLiteral("^([a-zA-Z_][a-zA-Z0-9_]*)=\"((?:[^\"\\\\\\n]|\\\\[\"\\\\n])*)\"(,|$)"));

bool parseValue(const QString &text, double *value)
{
    if (text == QLatin1String("+Inf") || text == QLatin1String("-Inf") || text == QLatin1String("NaN")) {
        *value = text == QLatin1String("NaN")   ? NAN
            : text.startsWith(QLatin1Char('-')) ? -INFINITY
                                                : INFINITY;
        return true;
    }
    bool ok = false;
    *value = text.toDouble(&ok);
    return ok;
}

// The family a sample belongs to: a histogram's series carry a suffix.
QString familyOf(const QString &name, const QHash<QString, QString> &types)
{
    for (const char *suffix : { "_bucket", "_sum", "_count" }) {
        const QString base = name.left(name.size() - int(qstrlen(suffix)));
        if (name.endsWith(QLatin1String(suffix)) && types.value(base) == QLatin1String("histogram"))
            return base;
    }
    return name;
}

QString checkHistograms(const MetricsText &m)
{
    // Buckets by histogram and by their other labels, in the order served.
    QMap<QString, QVector<const MetricsText::Sample *>> series;
    for (const MetricsText::Sample &s : m.samples) {
        if (!s.name.endsWith(QLatin1String("_bucket")) || familyOf(s.name, m.types) == s.name)
            continue;
        QMap<QString, QString> others = s.labels;
        others.remove(QStringLiteral("le"));
        QString key = s.name;
        for (auto it = others.cbegin(); it != others.cend(); ++it)
            key += QLatin1Char(',') + it.key() + QLatin1Char('=') + it.value();
        series[key] << &s;
    }
    for (auto it = series.cbegin(); it != series.cend(); ++it) {
        double bound = -INFINITY;
        double below = 0;
        for (const MetricsText::Sample *s : it.value()) {
            double le = 0;
            if (!s->labels.contains(QStringLiteral("le"))
                || !parseValue(s->labels.value(QStringLiteral("le")), &le) || le <= bound || s->value < below)
                return QStringLiteral("%1: buckets not ascending and cumulative").arg(it.key());
            bound = le;
            below = s->value;
        }
        const QString family = familyOf(it.value().first()->name, m.types);
        if (!std::isinf(bound) || below != m.value(family + QStringLiteral("_count")))
            return QStringLiteral("%1: the +Inf bucket is not the count").arg(it.key());
    }
    return QString();
}

} // namespace

MetricsText MetricsText::parse(const QByteArray &text)
{
    MetricsText m;
    if (!text.endsWith('\n')) {
        m.error = QStringLiteral("the text does not end with a line end");
        return m;
    }
    QSet<QString> seen;
    for (const QString &line : QString::fromUtf8(text).split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        if (line.startsWith(QLatin1String("# TYPE"))) {
            const QRegularExpressionMatch t = typeLine.match(line);
            if (!t.hasMatch() || m.types.contains(t.captured(1)))
                m.error = QStringLiteral("bad or repeated TYPE line: %1").arg(line);
            m.types.insert(t.captured(1), t.captured(2));
        } else if (!line.startsWith(QLatin1Char('#'))) {
            const QRegularExpressionMatch s = sampleLine.match(line);
            Sample sample;
            sample.name = s.captured(1);
            QString labels = s.captured(2);
            while (s.hasMatch() && !labels.isEmpty()) {
                const QRegularExpressionMatch l = label.match(labels);
                if (!l.hasMatch() || sample.labels.contains(l.captured(1))) {
                    m.error = QStringLiteral("bad labels: %1").arg(line);
                    break;
                }
                sample.labels.insert(l.captured(1), l.captured(2));
                labels = labels.mid(l.capturedLength());
            }
            if (!s.hasMatch() || !parseValue(s.captured(3), &sample.value))
                m.error = QStringLiteral("bad sample: %1").arg(line);
            else if (!m.types.contains(familyOf(sample.name, m.types)))
                m.error = QStringLiteral("sample without TYPE: %1").arg(line);
            else if (seen.contains(sample.name + s.captured(2)))
                m.error = QStringLiteral("sample twice: %1").arg(line);
            seen.insert(sample.name + s.captured(2));
            m.samples << sample;
        }
        if (!m.error.isEmpty())
            return m;
    }
    m.error = checkHistograms(m);
    return m;
}

double MetricsText::value(const QString &name, const QMap<QString, QString> &labels) const
{
    double sum = 0;
    for (const Sample &s : samples) {
        bool matches = s.name == name;
        for (auto it = labels.cbegin(); matches && it != labels.cend(); ++it)
            matches = s.labels.value(it.key()) == it.value();
        if (matches)
            sum += s.value;
    }
    return sum;
}
