#include <QtTest>

class TstRegistry : public QObject
{
    Q_OBJECT
private slots:
    void placeholder() { QSKIP("not written yet"); }
};

QTEST_GUILESS_MAIN(TstRegistry)
#include "tst_registry.moc"
