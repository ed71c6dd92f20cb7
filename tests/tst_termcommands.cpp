// kelvo-term: command lines to requests without a network; every command
// that README.md and scripts/run.sh suggest, and a terminal's life, against a
// real kelvo-host.
#include "hostprocess.h"
#include "hosttenant.h"
#include "termcommands.h"

#include <QRegularExpression>
#include <QTemporaryFile>
#include <QtTest>

namespace {

const QString terminal = KelvoWorker::encodeHash(1, 1001);

// kelvo-term's exit code, a space, the command line and what it printed.
QString term(const HostProcess &host, const QString &token, const QString &line)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(s("KELVO_URL"), host.url());
    environment.insert(s("KELVO_TOKEN"), token);
    QProcess p;
    p.setProcessEnvironment(environment);
    p.start(s(KELVO_TERM_PATH), line.split(QLatin1Char(' ')));
    const bool exited = p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit;
    return QString::number(exited ? p.exitCode() : -1) + QLatin1Char(' ') + line + QLatin1Char('\n')
        + QString::fromUtf8(p.readAllStandardOutput() + p.readAllStandardError());
}

} // namespace

class TestTermCommands : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void parse_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("request"); // "METHOD path compact-JSON-body", or the usage error's start

        const auto row
            = [](const char *line, const QString &request) { QTest::newRow(line) << s(line) << request; };
        row("register 7001 Door VTRM name=Gate flags=3",
            s(R"(POST term {"fid":7001,"flags":3,"name":"Gate","type":"VTRM"})"));
        row("ack 1.1001 1699999999 259",
            s("DELETE sync/%1/%2 null").arg(terminal, KelvoWorker::encodeHash(1699999999, 259)));
        row("person 1.1001 pid=501 card=0042 name=",
            s(R"(POST person/%1 {"card":"0042","name":"","pid":501})").arg(terminal));
        row("entrance 1.1001 refId=1 uid=2",
            s(R"(POST entrance/%1 {"date":1700000000,"refId":1,"uid":2})").arg(terminal));
        row("frobnicate 1.1001", s("unknown command 'frobnicate'"));
        row("sync person", s("TERM must be TID.FID, got 'person'"));
        row("person 1.1001 pid=1 --force", s("'person' has no option --force"));
    }

    // Messages are compared up to the system's own reason (a file's error text).
    void parse()
    {
        QFETCH(QString, line);
        QFETCH(QString, request);
        const TermCommands::Request r = TermCommands::parse(line.split(QLatin1Char(' ')), 1700000000);
        const QString made
            = r.error.isEmpty() ? fill("%1 %2 %3", r.method, r.path, jsonText(r.body)) : r.error;
        QVERIFY2(made.startsWith(request) && (r.error.isEmpty() ? made == request : r.method.isEmpty()),
            qPrintable(made));
    }

    // The command lines that README.md and then scripts/run.sh suggest (lines
    // that start with a path ending in kelvo-term; the "Try:" lines, $term ...)
    // in order, on the demo tenant that scripts/run.sh loads: each exits 0, and
    // the README has an example of every command of the usage text.
    void suggestedCommandsWork()
    {
        REQUIRE_TEST_DATABASE();
        const HostTenant tenant("docs", 0);
        QString error;
        QVERIFY2(TestDatabase::loadSqlFile(
                     tenant.schema, TestDatabase::sourceDir() + s("/db/sql/demo.sql"), &error),
            qPrintable(error));
        HostProcess host;
        QVERIFY(host.isReady());
        const QRegularExpression command(
            s("^\\s*(?:\\S*kelvo-term|\\$term) ([a-z].*)$"), QRegularExpression::MultilineOption);
        QHash<QString, QStringList> ran; // each file's commands
        for (const QString &file : { s("/README.md"), s("/scripts/run.sh") }) {
            QFile f(TestDatabase::sourceDir() + file);
            QVERIFY(f.open(QIODevice::ReadOnly));
            for (auto it = command.globalMatch(QString::fromUtf8(f.readAll())); it.hasNext();) {
                const QString line = it.next().captured(1).simplified();
                const QString said = term(host, tenant.token, line);
                QVERIFY2(said.startsWith(s("0 ")), qPrintable(said));
                ran[file] << line.section(QLatin1Char(' '), 0, 0);
            }
            QVERIFY2(ran.contains(file), qPrintable(file));
        }
        for (const QString &usage : TermCommands::usage().split(QLatin1Char('\n'), Qt::SkipEmptyParts).mid(1))
            QVERIFY2(ran[s("/README.md")].contains(usage.trimmed().section(QLatin1Char(' '), 0, 0)),
                qPrintable(usage));
    }

    // A terminal's life through a real host: a confirmation of what a
    // synchronisation delivered, and an entrance with a photo stored once.
    void lifeCycle()
    {
        REQUIRE_TEST_DATABASE();
        HostTenant tenant("life");
        HostProcess host;
        QVERIFY(host.isReady());
        const quint32 uid = tenant.addPerson("Eva");
        // A person and the settings changed before this second (a confirmation keeps what came later).
        QCOMPARE(tenant.link(uid, 1) + tenant.mark(1, 2, uid, 100) + tenant.mark(1, 256, 0, 100)
                + tenant.exec("UPDATE term SET syn = 258"),
            QString());
        // The lists and their confirmation; then nothing is left to deliver or confirm.
        for (const int answers : { 2, 1 }) {
            const QString said = term(host, tenant.token, s("sync 1.7001 --ack"));
            QVERIFY2(said.startsWith(s("0 ")) && said.count(s("\nHTTP 200 ")) == answers, qPrintable(said));
        }
        QTemporaryFile photo;
        const QByteArray photoBytes = QByteArray("\xff\xd8\0\x7f", 4).repeated(17500);
        QVERIFY(photo.open() && photo.write(photoBytes) == photoBytes.size() && photo.flush());
        const QString entrance = fill("entrance 1.7001 refId=1 uid=%1 iid=%2 type=in --photo %3", uid,
            tenant.addInter("Work", 1), photo.fileName());
        for (const char *status : { "\nHTTP 201 ", "\nHTTP 208 " }) {
            const QString said = term(host, tenant.token, entrance);
            QVERIFY2(said.startsWith(s("0 ")) && said.contains(s(status)), qPrintable(said));
        }
        QCOMPARE(tenant.value("SELECT IF(COUNT(*) = 1, MAX(photo), NULL) FROM inters_data").toByteArray(),
            photoBytes);
    }
};

QTEST_GUILESS_MAIN(TestTermCommands)
#include "tst_termcommands.moc"
