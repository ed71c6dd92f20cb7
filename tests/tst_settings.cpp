#include <QtTest>

class TstSettings : public QObject
{
    Q_OBJECT
private slots:
    void placeholder() { QSKIP("not written yet"); }
};

QTEST_GUILESS_MAIN(TstSettings)
#include "tst_settings.moc"
