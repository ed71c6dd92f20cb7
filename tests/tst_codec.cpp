#include <QtTest>

class TstCodec : public QObject
{
    Q_OBJECT
private slots:
    void placeholder() { QSKIP("not written yet"); }
};

QTEST_GUILESS_MAIN(TstCodec)
#include "tst_codec.moc"
