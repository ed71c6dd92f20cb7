#include <QtTest>

class TstDownload : public QObject
{
    Q_OBJECT
private slots:
    void placeholder() { QSKIP("not written yet"); }
};

QTEST_GUILESS_MAIN(TstDownload)
#include "tst_download.moc"
