#include <QtTest>

class TstUpload : public QObject
{
    Q_OBJECT
private slots:
    void placeholder() { QSKIP("not written yet"); }
};

QTEST_GUILESS_MAIN(TstUpload)
#include "tst_upload.moc"
