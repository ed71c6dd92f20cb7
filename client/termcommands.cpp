#include "termcommands.h"

#include "httppluginworker.h"

#include <QDateTime>
#include <QFile>
#include <QJsonDocument>
#include <QRegularExpression>

namespace {

// Keys of a synchronisation answer and the marker kinds they confirm.
struct ListKind
{
    const char *key;
    quint32 bit;
};
const ListKind listKinds[] = { { "inters", 1 }, { "people", 2 }, { "saldo", 4 }, { "present", 8 },
                               { "grp", 256 },  { "vars", 256 } };

const QStringList getLists = { QStringLiteral("inters"), QStringLiteral("person"), QStringLiteral("saldo"),
                               QStringLiteral("present") };

// Name, arguments after the name (at least), and what they are, for the usage text.
struct CommandInfo
{
    const char *name;
    int minArgs;
    const char *synopsis;
};
const CommandInfo commands[] = {
    { "register", 3, "register FID NAME TYPE [key=value...]     POST term (registration)" },
    { "sync", 1, "sync TERM [--force] [--ack]                GET sync (--ack confirms what it delivered)" },
    { "ack", 3, "ack TERM TIME MASK                         DELETE sync" },
    { "get", 2, "get inters|person|saldo|present TERM [UID.PID]" },
    { "person", 2, "person TERM pid=N name=... [key=value...]  POST person" },
    { "entrance", 2, "entrance TERM refId=N uid=N iid=N type=... [--photo FILE] [key=value...]" },
    { "update-term", 1, "update-term TERM [key=value...]            PUT term" },
    { "update-person", 2, "update-person TERM UID.PID [key=value...]  PUT person" },
    { "delete-person", 2, "delete-person TERM UID.PID                 DELETE person" },
    { "delete-entrance", 2, "delete-entrance TERM ID.REFID              DELETE entrance" },
    { "hash", 2, "hash A B                                   print the path hash of A.B" },
    { "unhash", 1, "unhash HASH                                print the text of a hash" },
};

const QRegularExpression numberPattern(QStringLiteral("^(0|[1-9][0-9]{0,14})$"));
const QRegularExpression pairPattern(QStringLiteral("^([0-9]{1,10})\\.([0-9]{1,10})$"));

} // namespace

TermCommands::TermCommands(const TermClient &client, QTextStream &out, QTextStream &err)
    : client(client)
    , out(out)
    , err(err)
{
}

QString TermCommands::usage()
{
    QString text = QStringLiteral("Commands (TERM is TID.FID, the terminal id and its Vorn ID):\n");
    for (const CommandInfo &c : commands)
        text += QStringLiteral("  %1\n").arg(QLatin1String(c.synopsis));
    return text;
}

quint32 TermCommands::deliveredMask(const QJsonValue &res)
{
    if (!res.isObject())
        return 0;
    const QJsonObject lists = res.toObject();
    quint32 mask = 0;
    for (const ListKind &kind : listKinds)
        if (lists.contains(QLatin1String(kind.key)))
            mask |= kind.bit;
    return mask;
}

bool TermCommands::fields(const QStringList &pairs, QJsonObject &object, QString *error)
{
    for (const QString &pair : pairs) {
        const int eq = pair.indexOf(QLatin1Char('='));
        if (eq <= 0) {
            *error = QStringLiteral("expected key=value, got '%1'").arg(pair);
            return false;
        }
        const QString value = pair.mid(eq + 1);
        object.insert(pair.left(eq), numberPattern.match(value).hasMatch() ? QJsonValue(value.toDouble())
                                                                           : QJsonValue(value));
    }
    return true;
}

bool TermCommands::pairHash(const QString &text, QString *hash)
{
    const QRegularExpressionMatch m = pairPattern.match(text);
    if (!m.hasMatch())
        return false;
    *hash = TermClient::hash(m.captured(1).toULongLong(), m.captured(2).toULongLong());
    return true;
}

int TermCommands::usageError(const QString &message)
{
    err << "kelvo-term: " << message << "\n" << usage();
    err.flush();
    return 2;
}

int TermCommands::print(const TermClient::Answer &answer)
{
    if (answer.status == 0) {
        err << "kelvo-term: " << answer.error << "\n";
        err.flush();
        return 2;
    }
    out << "HTTP " << answer.status << ' ' << answer.reason << "\n";
    if (answer.json.isObject())
        out << QString::fromUtf8(QJsonDocument(answer.json.toObject()).toJson(QJsonDocument::Indented));
    else
        out << QString::fromUtf8(answer.body) << "\n";
    out.flush();
    return answer.failed() ? 1 : 0;
}

int TermCommands::sync(const QString &term, bool force, bool ack)
{
    const TermClient::Answer answer = client.send(QStringLiteral("GET"), QStringLiteral("sync/%1%2").arg(term, force ? QStringLiteral("/fs") : QString()));
    const int code = print(answer);
    if (!ack || code != 0)
        return code;
    const QJsonObject envelope = answer.json.toObject();
    const quint32 mask = deliveredMask(envelope.value(QStringLiteral("res")));
    const qint64 st = envelope.value(QStringLiteral("st")).toVariant().toLongLong();
    if (mask == 0 || st <= 1) {
        out << "nothing delivered, nothing to acknowledge\n";
        out.flush();
        return 0;
    }
    // A marker whose statement began in the second before "st" may have been
    // committed after the lists were read: confirm only what is older.
    return print(client.send(QStringLiteral("DELETE"), QStringLiteral("sync/%1/%2").arg(term, TermClient::hash(quint64(st - 1), mask))));
}

int TermCommands::run(const QStringList &allArgs)
{
    if (allArgs.isEmpty())
        return usageError(QStringLiteral("no command"));
    const QString name = allArgs.first();
    QStringList args = allArgs.mid(1);
    const CommandInfo *info = nullptr;
    for (const CommandInfo &c : commands)
        if (name == QLatin1String(c.name))
            info = &c;
    if (!info)
        return usageError(QStringLiteral("unknown command '%1'").arg(name));

    // Flags of the commands that have them.
    const bool force = args.removeAll(QStringLiteral("--force")) > 0;
    const bool ack = args.removeAll(QStringLiteral("--ack")) > 0;
    QString photoFile;
    const int photoAt = args.indexOf(QStringLiteral("--photo"));
    if (photoAt >= 0) {
        photoFile = args.value(photoAt + 1);
        args.erase(args.begin() + photoAt, args.begin() + qMin(args.size(), photoAt + 2));
        if (photoFile.isEmpty())
            return usageError(QStringLiteral("--photo needs a file"));
    }
    if (args.size() < info->minArgs)
        return usageError(QStringLiteral("'%1' needs more arguments").arg(name));

    if (name == QLatin1String("hash")) {
        out << TermClient::hash(args.at(0).toULongLong(), args.at(1).toULongLong()) << "\n";
        return 0;
    }
    if (name == QLatin1String("unhash")) {
        QString text;
        if (!TermClient::unhash(args.at(0), &text))
            return usageError(QStringLiteral("'%1' is not a hash").arg(args.at(0)));
        out << text << "\n";
        return 0;
    }

    QJsonObject body;
    QString error;
    if (name == QLatin1String("register")) {
        body.insert(QStringLiteral("fid"), args.at(0).toDouble());
        body.insert(QStringLiteral("name"), args.at(1));
        body.insert(QStringLiteral("type"), args.at(2));
        if (!fields(args.mid(3), body, &error))
            return usageError(error);
        return print(client.send(QStringLiteral("POST"), QStringLiteral("term"), body));
    }

    // Every other command names a terminal first.
    QString term;
    if (!pairHash(args.at(0), &term))
        return usageError(QStringLiteral("TERM must be TID.FID, got '%1'").arg(args.at(0)));

    if (name == QLatin1String("sync"))
        return sync(term, force, ack);
    if (name == QLatin1String("ack"))
        return print(client.send(QStringLiteral("DELETE"),
                                 QStringLiteral("sync/%1/%2").arg(term, TermClient::hash(args.at(1).toULongLong(), args.at(2).toULongLong()))));
    if (name == QLatin1String("get")) {
        const QString list = args.at(0);
        if (!getLists.contains(list) || !pairHash(args.at(1), &term))
            return usageError(QStringLiteral("expected get inters|person|saldo|present TERM [UID.PID]"));
        QString person;
        if (args.size() > 2 && !pairHash(args.at(2), &person))
            return usageError(QStringLiteral("UID.PID expected, got '%1'").arg(args.at(2)));
        return print(client.send(QStringLiteral("GET"), QStringLiteral("%1/%2%3").arg(list, term, person.isEmpty() ? QString() : QLatin1Char('/') + person)));
    }

    // The item commands take a second pair: a person or an entrance.
    const bool withItem = name == QLatin1String("update-person") || name.startsWith(QLatin1String("delete-"));
    QString item;
    if (withItem && !pairHash(args.at(1), &item))
        return usageError(QStringLiteral("expected a pair A.B, got '%1'").arg(args.at(1)));
    if (!fields(args.mid(withItem ? 2 : 1), body, &error))
        return usageError(error);

    if (name == QLatin1String("person"))
        return print(client.send(QStringLiteral("POST"), QStringLiteral("person/%1").arg(term), body));
    if (name == QLatin1String("entrance")) {
        if (!photoFile.isEmpty()) {
            QFile file(photoFile);
            if (!file.open(QIODevice::ReadOnly))
                return usageError(QStringLiteral("cannot read %1: %2").arg(photoFile, file.errorString()));
            body.insert(QStringLiteral("image"), QString::fromLatin1(HttpPluginWorker::encodeSafeBase64(file.readAll())));
        }
        if (!body.contains(QStringLiteral("date")))
            body.insert(QStringLiteral("date"), double(QDateTime::currentSecsSinceEpoch()));
        return print(client.send(QStringLiteral("POST"), QStringLiteral("entrance/%1").arg(term), body));
    }
    if (name == QLatin1String("update-term"))
        return print(client.send(QStringLiteral("PUT"), QStringLiteral("term/%1").arg(term), body));
    if (name == QLatin1String("update-person"))
        return print(client.send(QStringLiteral("PUT"), QStringLiteral("person/%1/%2").arg(term, item), body));
    const QString operation = name.mid(int(qstrlen("delete-")));
    return print(client.send(QStringLiteral("DELETE"), QStringLiteral("%1/%2/%3").arg(operation, term, item)));
}
