#include <QtTest>

class TstSyncrace : public QObject
{
    Q_OBJECT
private slots:
    void placeholder() { QSKIP("not written yet"); }
};

QTEST_GUILESS_MAIN(TstSyncrace)
#include "tst_syncrace.moc"
