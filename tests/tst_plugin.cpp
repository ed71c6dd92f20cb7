#include <QtTest>

class TstPlugin : public QObject
{
    Q_OBJECT
private slots:
    void placeholder() { QSKIP("not written yet"); }
};

QTEST_GUILESS_MAIN(TstPlugin)
#include "tst_plugin.moc"
