// kelvo-term: command lines to requests without a network; every command
// that README.md and scripts/run.sh suggest, and a terminal's life, against a
// real kelvo-host.
#include "hostlog.h"
#include "hostprocess.h"
#include "hosttenant.h"
#include "httppluginworker.h"
#include "termcommands.h"
#include "testdatabase.h"

#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QString s(const char *text)
{
    return QString::fromUtf8(text);
}

const qint64 now = 1700000000;
const QString terminal = HttpPluginWorker::encodeHash(1, 1001);

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

// What kelvo-term printed: its exit code, the HTTP statuses and the answers' JSON.
struct TermRun
{
    int exitCode = -1;
    QString output;
    QList<int> statuses;
    QList<QJsonObject> answers;

    QJsonValue res(const char *key = nullptr) const
    {
        const QJsonValue res = answers.value(answers.size() - 1).value(s("res"));
        return key ? res[QLatin1String(key)] : res;
    }
};

TermRun term(const HostProcess &host, const QString &token, const QStringList &args)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(s("KELVO_URL"), host.url());
    environment.insert(s("KELVO_TOKEN"), token);
    QProcess p;
    p.setProcessEnvironment(environment);
    p.start(s(KELVO_TERM_PATH), args);
    TermRun run;
    if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit)
        return run;
    run.exitCode = p.exitCode();
    run.output = QString::fromUtf8(p.readAllStandardOutput());
    // Answers are printed as "HTTP <status> <reason>" followed by an indented object.
    for (const QString &block : run.output.split(
             QRegularExpression(s("^HTTP "), QRegularExpression::MultilineOption), Qt::SkipEmptyParts)) {
        run.statuses << block.section(QLatin1Char(' '), 0, 0).toInt();
        run.answers << QJsonDocument::fromJson(block.section(QLatin1Char('\n'), 1).toUtf8()).object();
    }
    run.output
        = args.join(QLatin1Char(' ')) + s("\n") + run.output + QString::fromUtf8(p.readAllStandardError());
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
        QTest::addColumn<QString>("method");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("body"); // compact JSON; empty: no body
        QTest::addColumn<QString>("message"); // the usage error, or a local command's output (its start)

        const QString t = terminal;
        const auto h = [](quint64 a, quint64 b) { return HttpPluginWorker::encodeHash(a, b); };
        const QByteArray jpeg("\xff\xd8\0jpeg", 7);
        QFile photo(dir.filePath(s("photo.jpg")));
        QVERIFY(photo.open(QIODevice::WriteOnly) && photo.write(jpeg) == jpeg.size());
        photo.close();
        const QString image = QString::fromLatin1(HttpPluginWorker::encodeSafeBase64(jpeg));

        const auto sends = [](const char *name, const QString &line, const char *method, const QString &path,
                               const QString &body = QString()) {
            QTest::newRow(name) << line << s(method) << path << body << QString();
        };
        sends("get person", s("get person 1.1001"), "GET", s("person/") + t);
        sends("get one balance", s("get saldo 1.1001 2.1002"), "GET", s("saldo/%1/%2").arg(t, h(2, 1002)));
        sends("sync, flag first", s("sync --force 1.1001"), "GET", s("sync/%1/fs").arg(t));
        sends("register, fields win", s("register 7001 Door VTRM name=Gate flags=3"), "POST", s("term"),
            s(R"({"fid":7001,"flags":3,"name":"Gate","type":"VTRM"})"));
        sends("ack", s("ack 1.1001 1699999999 259"), "DELETE", s("sync/%1/%2").arg(t, h(1699999999, 259)));
        sends("person, numbers and text", s("person 1.1001 pid=501 card=0042 name="), "POST",
            s("person/") + t, s(R"({"card":"0042","name":"","pid":501})"));
        sends("entrance stamped now", s("entrance 1.1001 refId=1 uid=2 iid=1 type=in"), "POST",
            s("entrance/") + t, s(R"({"date":1700000000,"iid":1,"refId":1,"type":"in","uid":2})"));
        sends("entrance with photo and date",
            s("entrance 1.1001 --photo %1 refId=2 date=5").arg(photo.fileName()), "POST", s("entrance/") + t,
            s(R"({"date":5,"image":"%1","refId":2})").arg(image));
        sends("update-term, no fields", s("update-term 1.1001"), "PUT", s("term/") + t, s("{}"));
        sends("update-person", s("update-person 1.1001 3.501 surname=Berg"), "PUT",
            s("person/%1/%2").arg(t, h(3, 501)), s(R"({"surname":"Berg"})"));
        sends("delete-entrance", s("delete-entrance 1.1001 9.1"), "DELETE",
            s("entrance/%1/%2").arg(t, h(9, 1)));
        QTest::newRow("hash") << s("hash 1 1001") << QString() << QString() << QString() << t;
        QTest::newRow("unhash") << s("unhash ") + t << QString() << QString() << QString() << s("1.1001");

        const auto bad = [](const char *name, const char *line, const QString &message) {
            QTest::newRow(name) << s(line) << QString() << QString() << QString() << message;
        };
        bad("no command", "", s("no command"));
        bad("unknown command", "frobnicate 1.1001", s("unknown command 'frobnicate'"));
        bad("get, terminal first", "get 1.1001 person",
            s("expected inters|person|saldo|present, got '1.1001'"));
        bad("get without terminal", "get person", s("'get' needs more arguments"));
        bad("get, one too many", "get person 1.1001 1.1 2.2", s("'get' does not take '2.2'"));
        bad("not a terminal", "sync person", s("TERM must be TID.FID, got 'person'"));
        bad("flag of another command", "person 1.1001 pid=1 --force", s("'person' has no option --force"));
        bad("photo unreadable", "entrance 1.1001 uid=1 --photo /nonexistent/p.jpg",
            s("cannot read /nonexistent/p.jpg"));
        bad("not key=value", "update-term 1.1001 status", s("expected key=value, got 'status'"));
        bad("time not a number", "ack 1.1001 soon 3", s("TIME must be a number, got 'soon'"));
        bad("person not a pair", "delete-person 1.1001 501", s("UID.PID must be two numbers A.B, got '501'"));
        bad("not a hash", "unhash !!", s("'!!' is not a hash"));
    }

    void parse()
    {
        QFETCH(QString, line);
        QFETCH(QString, method);
        QFETCH(QString, path);
        QFETCH(QString, body);
        QFETCH(QString, message);
        const TermCommands::Request request
            = TermCommands::parse(line.split(QLatin1Char(' '), Qt::SkipEmptyParts), now);
        QCOMPARE(request.method, method);
        QCOMPARE(request.path, path);
        const QString sent = request.body.isObject()
            ? QString::fromUtf8(QJsonDocument(request.body.toObject()).toJson(QJsonDocument::Compact))
            : QString();
        QCOMPARE(sent, body);
        // Messages are compared up to the system's own reason (a file's error text).
        const QString said = request.error + request.output;
        QVERIFY2(method.isEmpty() ? said.startsWith(message) && !message.isEmpty() : said.isEmpty(),
            qPrintable(said));
        QCOMPARE(request.acknowledgeFor, QString());
    }

    void syncAcknowledges_data()
    {
        QTest::addColumn<QString>("answer");
        QTest::addColumn<QString>("path"); // empty: nothing to confirm

        const QString t = terminal;
        QTest::newRow("lists") << s(R"({"st":1700000000,"res":{"sync":3,"inters":[],"people":{}}})")
                               << s("sync/%1/%2").arg(t, HttpPluginWorker::encodeHash(1699999999, 3));
        QTest::newRow("groups and settings")
            << s(R"({"st":1700000000,"res":{"sync":264,"grp":{},"vars":{},"present":{}}})")
            << s("sync/%1/%2").arg(t, HttpPluginWorker::encodeHash(1699999999, 264));
        QTest::newRow("nothing pending") << s(R"({"st":1700000000,"res":false})") << QString();
        QTest::newRow("no server time") << s(R"({"res":{"inters":[]}})") << QString();
    }

    // sync --ack confirms exactly the lists delivered, as of the second before "st".
    void syncAcknowledges()
    {
        QFETCH(QString, answer);
        QFETCH(QString, path);
        const TermCommands::Request sync = TermCommands::parse({ s("sync"), s("1.1001"), s("--ack") }, now);
        QCOMPARE(sync.acknowledgeFor, terminal);
        const QJsonValue envelope = QJsonDocument::fromJson(answer.toUtf8()).object();
        const TermCommands::Request confirm = TermCommands::acknowledgement(sync.acknowledgeFor, envelope);
        QCOMPARE(confirm.path, path);
        QCOMPARE(confirm.method, path.isEmpty() ? QString() : s("DELETE"));
        QCOMPARE(confirm.output.isEmpty(), !path.isEmpty());
    }

    // The README shows the usage text as the program prints it and suggests every command.
    void readmeShowsUsage()
    {
        QFile readme(TestDatabase::sourceDir() + s("/README.md"));
        QVERIFY(readme.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(readme.readAll());
        QStringList names;
        for (const QString &line : TermCommands::usage().split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
            QVERIFY2(text.contains(line), qPrintable(line));
            names << line.trimmed().section(QLatin1Char(' '), 0, 0);
        }
        names.removeFirst(); // the heading
        QStringList suggested;
        for (const QStringList &command : suggestedCommands(s("README.md")))
            suggested << command.first();
        for (const QString &name : names)
            QVERIFY2(suggested.contains(name), qPrintable(name + s(" has no example in README.md")));
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
        const HostTenant tenant(s("docs"));
        QString error;
        QVERIFY2(TestDatabase::loadSqlFile(
                     tenant.schema, TestDatabase::sourceDir() + s("/db/sql/demo.sql"), &error),
            qPrintable(error));
        HostProcess host;
        QVERIFY(host.isReady());
        for (const QStringList &command : commands) {
            const TermRun run = term(host, tenant.token, command);
            QVERIFY2(run.exitCode == 0, qPrintable(run.output));
        }
    }

    // Two terminals of one tenant through a real host: registration, lists,
    // a person linked to both, a change reaching the other terminal, and an
    // entrance with a photo stored once and announced once.
    void lifeCycle()
    {
        REQUIRE_TEST_DATABASE();
        const HostTenant tenant(s("life"));
        QCOMPARE(TestDatabase::exec(tenant.schema, s("INSERT INTO inters (iid, name) VALUES (1, 'Work')")),
            QString());
        HostProcess host;
        QVERIFY(host.isReady());
        const auto run
            = [&](const QString &line) { return term(host, tenant.token, line.split(QLatin1Char(' '))); };
        TermRun r = run(s("register 7001 Door VTRM"));
        QCOMPARE(r.statuses, QList<int> { 201 });
        const QString t1 = s("%1.7001").arg(r.res().toInt());
        r = run(s("register 7002 Hall VTRM"));
        QCOMPARE(r.statuses, QList<int> { 201 });
        const QString t2 = s("%1.7002").arg(r.res().toInt());

        // A forced synchronisation delivers the lists the terminal keeps (VTRM: inters and people).
        r = run(s("sync %1 --force").arg(t1));
        QCOMPARE(QList<int>({ r.exitCode, r.res("sync").toInt() }), QList<int>({ 0, 3 }));
        r = run(s("person %1 pid=501 name=Eva").arg(t1));
        QCOMPARE(r.statuses, QList<int> { 201 });
        const int uid = r.res("uid").toInt();
        QVERIFY(uid > 0);
        QCOMPARE(run(s("person %1 pid=501 name=Eva").arg(t2)).exitCode, 0);

        QCOMPARE(
            run(s("update-person %1 %2.501 surname=Berg").arg(t1).arg(uid)).statuses, QList<int> { 200 });
        // Markers of this second would be kept by a confirmation (it confirms st-1): age them.
        QCOMPARE(
            TestDatabase::exec(tenant.schema, s("UPDATE term_sync SET created = created - 10")), QString());
        r = run(s("sync %1 --ack").arg(t2));
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.statuses, (QList<int> { 200, 200 }));
        QVERIFY2(r.answers.at(0)[s("res")][s("people")].toObject().contains(QString::number(uid)),
            qPrintable(r.output));
        QVERIFY(r.res().toInt() >= 1);
        QCOMPARE(run(s("sync ") + t2).res(), QJsonValue(false));

        QFile photo(dir.filePath(s("life.jpg")));
        QByteArray photoBytes(70000, '\0');
        for (int i = 0; i < photoBytes.size(); ++i)
            photoBytes[i] = char(i * 7 + i / 256);
        QVERIFY(photo.open(QIODevice::WriteOnly) && photo.write(photoBytes) == photoBytes.size());
        photo.close();
        const QString entrance
            = s("entrance %1 refId=1 uid=%2 iid=1 type=in --photo %3").arg(t1).arg(uid).arg(photo.fileName());
        r = run(entrance);
        QCOMPARE(r.statuses, QList<int> { 201 });
        const int eid = r.res("eid").toInt();
        QCOMPARE(
            TestDatabase::scalar(tenant.schema, s("SELECT photo FROM inters_data WHERE id = %1").arg(eid))
                .toByteArray(),
            photoBytes);
        r = run(entrance);
        QCOMPARE(QList<int>({ r.statuses.value(0), r.res("eid").toInt() }), QList<int>({ 208, eid }));
        // Announcements keep their order: once the next entrance's is out, a second one of the first would be
        // too.
        QCOMPARE(
            run(s("entrance %1 refId=2 uid=%2 iid=1 type=in").arg(t1).arg(uid)).statuses, QList<int> { 201 });
        QTRY_COMPARE(host.countInLog(s("recordCreated tbl=inters_data")), 2);
        QCOMPARE(host.countInLog(s("recordCreated tbl=inters_data id=%1 token=%2 flags=3")
                                     .arg(eid)
                                     .arg(HostLog::tokenPrefix(tenant.token))),
            1);
    }
};

QTEST_GUILESS_MAIN(TestTermCommands)
#include "tst_termcommands.moc"
