// kelvo-term: command lines to requests without a network; every command
// that README.md and scripts/run.sh suggest, and a terminal's life, against a
// real kelvo-host.
#include "hostprocess.h"
#include "hosttenant.h"
#include "termcommands.h"

#include <QJsonDocument>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QString terminal = KelvoWorker::encodeHash(1, 1001);

// The kelvo-term command lines a file suggests: in README.md lines that start
// with a path ending in kelvo-term, in scripts/run.sh the "Try:" lines ($term ...).
QList<QStringList> suggestedCommands(const QString &file)
{
    QFile f(TestDatabase::sourceDir() + QLatin1Char('/') + file);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    const QRegularExpression line(
        s("^\\s*(?:\\S*kelvo-term|\\$term) ([a-z].*)$"), QRegularExpression::MultilineOption);
    QList<QStringList> commands;
    for (auto it = line.globalMatch(QString::fromUtf8(f.readAll())); it.hasNext();)
        commands << it.next().captured(1).split(QLatin1Char(' '), Qt::SkipEmptyParts);
    return commands;
}

// What kelvo-term printed: its exit code, the HTTP statuses and the answers'
// "res" (printed as "HTTP <status> <reason>" and an indented object each).
struct TermRun
{
    int exitCode = -1;
    QString output;
    QList<int> statuses;
    QList<QJsonValue> res;
};

TermRun term(const HostProcess &host, const QString &token, const QString &line)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(s("KELVO_URL"), host.url());
    environment.insert(s("KELVO_TOKEN"), token);
    QProcess p;
    p.setProcessEnvironment(environment);
    p.start(s(KELVO_TERM_PATH), line.split(QLatin1Char(' ')));
    TermRun run;
    run.exitCode = p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    run.output = line + s("\n") + QString::fromUtf8(p.readAllStandardOutput() + p.readAllStandardError());
    for (const QString &block :
        run.output.split(QRegularExpression(s("^HTTP "), QRegularExpression::MultilineOption)).mid(1)) {
        run.statuses << block.section(QLatin1Char(' '), 0, 0).toInt();
        const QString object = block.section(QLatin1Char('\n'), 1); // then what the program said besides
        run.res << QJsonDocument::fromJson(object.left(object.indexOf(s("\n}")) + 2).toUtf8())[s("res")];
    }
    return run;
}

} // namespace

class TestTermCommands : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;

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
            s("DELETE sync/%1/%2").arg(terminal, KelvoWorker::encodeHash(1699999999, 259)));
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
        const QString body = r.body.isObject() ? QLatin1Char(' ')
                + QString::fromUtf8(QJsonDocument(r.body.toObject()).toJson(QJsonDocument::Compact))
                                               : QString();
        const QString made = r.error.isEmpty() ? r.method + QLatin1Char(' ') + r.path + body : r.error;
        QVERIFY2(made.startsWith(request) && (r.error.isEmpty() ? made == request : r.method.isEmpty()),
            qPrintable(made));
    }

    void suggestedCommandsWork_data()
    {
        QTest::addColumn<QString>("file");
        QTest::newRow("README.md") << s("README.md");
        QTest::newRow("scripts/run.sh") << s("scripts/run.sh");
    }

    // In order, on the demo tenant that scripts/run.sh loads: each exits 0.
    void suggestedCommandsWork()
    {
        REQUIRE_TEST_DATABASE();
        QFETCH(QString, file);
        const QList<QStringList> commands = suggestedCommands(file);
        QVERIFY(!commands.isEmpty());
        const HostTenant tenant("docs", 0);
        QString error;
        QVERIFY2(TestDatabase::loadSqlFile(
                     tenant.schema, TestDatabase::sourceDir() + s("/db/sql/demo.sql"), &error),
            qPrintable(error));
        HostProcess host;
        QVERIFY(host.isReady());
        QStringList ran;
        for (const QStringList &command : commands) {
            const TermRun run = term(host, tenant.token, command.join(QLatin1Char(' ')));
            QVERIFY2(run.exitCode == 0, qPrintable(run.output));
            ran << command.first();
        }
        // The README has an example of every command of the usage text.
        for (const QString &line : TermCommands::usage().split(QLatin1Char('\n'), Qt::SkipEmptyParts).mid(1))
            QVERIFY2(file != s("README.md") || ran.contains(line.trimmed().section(QLatin1Char(' '), 0, 0)),
                qPrintable(line));
    }

    // A terminal's life through a real host: registration, a confirmation of
    // exactly the lists delivered, and an entrance with a photo stored once.
    void lifeCycle()
    {
        REQUIRE_TEST_DATABASE();
        const HostTenant tenant("life", 0);
        HostProcess host;
        QVERIFY(host.isReady());
        const auto run = [&](const QString &line, QList<int> statuses) {
            const TermRun r = term(host, tenant.token, line);
            [&] { QVERIFY2(r.statuses == statuses, qPrintable(r.output)); }();
            return r;
        };
        const int tid = run(s("register 7001 Door VTRM"), { 201 }).res.value(0).toInt();
        const QString t = s("%1.7001").arg(tid);
        const int uid = run(s("person %1 pid=501 name=Eva").arg(t), { 201 }).res.value(0)[s("uid")].toInt();
        // A person and the settings changed before this second (a confirmation keeps what came later).
        QCOMPARE(tenant.mark(tid, 2, uid, 100) + tenant.mark(tid, 256, 0, 100)
                + tenant.exec("UPDATE term SET syn = syn | 258"),
            QString());
        run(s("sync %1 --ack").arg(t), { 200, 200 });
        QCOMPARE(run(s("sync %1 --ack").arg(t), { 200 }).res.value(0), QJsonValue(false));

        QFile photo(dir.filePath(s("life.jpg")));
        const QByteArray photoBytes = QByteArray("\xff\xd8\0\x7f", 4).repeated(17500);
        QVERIFY(photo.open(QIODevice::WriteOnly) && photo.write(photoBytes) == photoBytes.size());
        photo.close();
        const QString entrance = s("entrance %1 refId=1 uid=%2 iid=%4 type=in --photo %3")
                                     .arg(t)
                                     .arg(uid)
                                     .arg(photo.fileName())
                                     .arg(tenant.addInter("Work", 1));
        const QJsonValue eid = run(entrance, { 201 }).res.value(0)[s("eid")];
        QCOMPARE(tenant.value("SELECT photo FROM inters_data WHERE id = %1", eid.toInt()).toByteArray(),
            photoBytes);
        QCOMPARE(run(entrance, { 208 }).res.value(0)[s("eid")], eid);
    }
};

QTEST_GUILESS_MAIN(TestTermCommands)
#include "tst_termcommands.moc"
