#include "termcommands.h"

#include "httppluginworker.h"

#include <QDateTime>
#include <QFile>
#include <QJsonDocument>
#include <QMap>
#include <QRegularExpression>

#include <vector>

namespace {

using Request = TermCommands::Request;

// Keys of a synchronisation answer and the marker kinds they confirm.
struct ListKind
{
    const char *key;
    quint32 bit;
};
const ListKind listKinds[]
    = { { "inters", 1 }, { "people", 2 }, { "saldo", 4 }, { "present", 8 }, { "grp", 256 }, { "vars", 256 } };

const QRegularExpression numberPattern(QStringLiteral("^(0|[1-9][0-9]{0,14})$"));
const QRegularExpression pairPattern(QStringLiteral("^([0-9]{1,10})\\.([0-9]{1,10})$"));

// Mask of the lists a synchronisation answer delivered.
quint32 deliveredMask(const QJsonValue &res)
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

// key=value words to a JSON object: plain decimal numbers become numbers, the rest text.
bool addFields(const QStringList &pairs, QJsonObject &object, QString *error)
{
    for (const QString &pair : pairs) {
        const int eq = pair.indexOf(QLatin1Char('='));
        if (eq <= 0) {
            *error = QStringLiteral("expected key=value, got '%1'").arg(pair);
            return false;
        }
        const QString value = pair.mid(eq + 1);
        object.insert(pair.left(eq),
            numberPattern.match(value).hasMatch() ? QJsonValue(value.toDouble()) : QJsonValue(value));
    }
    return true;
}

// "TID.FID" (or any "A.B" pair of unsigned numbers) to its path hash.
bool pairHash(const QString &text, QString *hash)
{
    const QRegularExpressionMatch m = pairPattern.match(text);
    if (!m.hasMatch())
        return false;
    *hash = TermClient::hash(m.captured(1).toULongLong(), m.captured(2).toULongLong());
    return true;
}

// What a positional argument must be. Term and Pair become path hashes;
// Fields takes every key=value word that is left and comes last.
enum class ArgKind { Term, Pair, Number, Text, Choice, Fields };

struct Arg
{
    ArgKind kind;
    const char *label; // as the usage text shows it; Choice: the choices joined by '|'
    bool optional;
};

Arg term()
{
    return { ArgKind::Term, "TERM", false };
}
Arg pair(const char *label, bool optional = false)
{
    return { ArgKind::Pair, label, optional };
}
Arg number(const char *label)
{
    return { ArgKind::Number, label, false };
}
Arg text(const char *label)
{
    return { ArgKind::Text, label, false };
}
Arg choice(const char *choices)
{
    return { ArgKind::Choice, choices, false };
}
// keys: the keys the server needs, shown in the usage text; with keys at least one pair is required.
Arg fields(const char *keys = nullptr)
{
    return { ArgKind::Fields, keys, keys == nullptr };
}

struct Flag
{
    const char *name;
    const char *value; // label of its value, nullptr for a switch
};

// A command line that fits its command's shape.
struct Call
{
    QStringList values; // one per positional argument: hashes for TERM and pairs, empty when left out
    QJsonObject fields; // the key=value words
    QMap<QString, QString> flags; // the flags given, with their values
    qint64 now = 0;
};

struct Command
{
    const char *name;
    std::vector<Arg> args;
    std::vector<Flag> flags;
    const char *what; // the usage text's note
    const char *method; // nullptr: answered without the server
    const char *path; // after the prefix; %1, %2 ... are the positional values
    Request (*handler)(const Command &, const Call &);
};

Request failure(const QString &message)
{
    Request request;
    request.error = message;
    return request;
}

Request local(const QString &output)
{
    Request request;
    request.output = output;
    return request;
}

// The row's method and path; POST and PUT carry the key=value words.
Request plain(const Command &command, const Call &call)
{
    Request request;
    request.method = QLatin1String(command.method);
    request.path = QLatin1String(command.path);
    for (int i = 0; i < call.values.size(); ++i)
        request.path.replace(QLatin1Char('%') + QString::number(i + 1), call.values.at(i));
    if (request.method == QLatin1String("POST") || request.method == QLatin1String("PUT"))
        request.body = call.fields;
    return request;
}

Request registerTerm(const Command &command, const Call &call)
{
    Request request = plain(command, call);
    QJsonObject body { { QStringLiteral("fid"), call.values.at(0).toDouble() },
        { QStringLiteral("name"), call.values.at(1) }, { QStringLiteral("type"), call.values.at(2) } };
    for (auto it = call.fields.begin(); it != call.fields.end(); ++it)
        body.insert(it.key(), it.value());
    request.body = body;
    return request;
}

Request syncLists(const Command &command, const Call &call)
{
    Request request = plain(command, call);
    if (call.flags.contains(QStringLiteral("--force")))
        request.path += QStringLiteral("/fs");
    if (call.flags.contains(QStringLiteral("--ack")))
        request.acknowledgeFor = call.values.at(0);
    return request;
}

QString hashOf(const QString &first, const QString &second)
{
    return TermClient::hash(first.toULongLong(), second.toULongLong());
}

Request confirmSync(const Command &command, const Call &call)
{
    Call confirmation = call;
    confirmation.values = QStringList { call.values.at(0), hashOf(call.values.at(1), call.values.at(2)) };
    return plain(command, confirmation);
}

Request getList(const Command &command, const Call &call)
{
    Request request = plain(command, call);
    const QString &person = call.values.at(2);
    if (!person.isEmpty())
        request.path += QLatin1Char('/') + person;
    return request;
}

Request uploadEntrance(const Command &command, const Call &call)
{
    QJsonObject body = call.fields;
    const QString photoFile = call.flags.value(QStringLiteral("--photo"));
    if (!photoFile.isEmpty()) {
        QFile file(photoFile);
        if (!file.open(QIODevice::ReadOnly))
            return failure(QStringLiteral("cannot read %1: %2").arg(photoFile, file.errorString()));
        body.insert(
            QStringLiteral("image"), QString::fromLatin1(HttpPluginWorker::encodeSafeBase64(file.readAll())));
    }
    if (!body.contains(QStringLiteral("date")))
        body.insert(QStringLiteral("date"), double(call.now));
    Request request = plain(command, call);
    request.body = body;
    return request;
}

Request printHash(const Command &, const Call &call)
{
    return local(hashOf(call.values.at(0), call.values.at(1)));
}

Request printText(const Command &, const Call &call)
{
    QString text;
    if (!TermClient::unhash(call.values.at(0), &text))
        return failure(QStringLiteral("'%1' is not a hash").arg(call.values.at(0)));
    return local(text);
}

const Flag forceFlag { "--force", nullptr };
const Flag ackFlag { "--ack", nullptr };
const Flag photoFlag { "--photo", "FILE" };

const std::vector<Command> &commandTable()
{
    static const std::vector<Command> table = {
        { "register", { number("FID"), text("NAME"), text("TYPE"), fields() }, {}, "POST term (registration)",
            "POST", "term", registerTerm },
        { "sync", { term() }, { forceFlag, ackFlag }, "GET sync (--ack confirms what it delivered)", "GET",
            "sync/%1", syncLists },
        { "ack", { term(), number("TIME"), number("MASK") }, {}, "DELETE sync", "DELETE", "sync/%1/%2",
            confirmSync },
        { "get", { choice("inters|person|saldo|present"), term(), pair("UID.PID", true) }, {}, "GET a list",
            "GET", "%1/%2", getList },
        { "person", { term(), fields("pid=N name=...") }, {}, "POST person", "POST", "person/%1", plain },
        { "entrance", { term(), fields("refId=N uid=N iid=N type=...") }, { photoFlag }, "POST entrance",
            "POST", "entrance/%1", uploadEntrance },
        { "update-term", { term(), fields() }, {}, "PUT term", "PUT", "term/%1", plain },
        { "update-person", { term(), pair("UID.PID"), fields() }, {}, "PUT person", "PUT", "person/%1/%2",
            plain },
        { "delete-person", { term(), pair("UID.PID") }, {}, "DELETE person", "DELETE", "person/%1/%2",
            plain },
        { "delete-entrance", { term(), pair("ID.REFID") }, {}, "DELETE entrance", "DELETE", "entrance/%1/%2",
            plain },
        { "hash", { number("A"), number("B") }, {}, "print the path hash of A.B", nullptr, nullptr,
            printHash },
        { "unhash", { text("HASH") }, {}, "print the text of a hash", nullptr, nullptr, printText },
    };
    return table;
}

const Command *findCommand(const QString &name)
{
    for (const Command &command : commandTable())
        if (name == QLatin1String(command.name))
            return &command;
    return nullptr;
}

QString synopsis(const Command &command)
{
    QString text = QLatin1String(command.name);
    for (const Arg &arg : command.args) {
        if (arg.kind == ArgKind::Fields)
            text += arg.label ? QStringLiteral(" %1 [key=value...]").arg(QLatin1String(arg.label))
                              : QStringLiteral(" [key=value...]");
        else
            text += QLatin1String(arg.optional ? " [%1]" : " %1").arg(QLatin1String(arg.label));
    }
    for (const Flag &flag : command.flags)
        text += flag.value
            ? QStringLiteral(" [%1 %2]").arg(QLatin1String(flag.name), QLatin1String(flag.value))
            : QStringLiteral(" [%1]").arg(QLatin1String(flag.name));
    return text;
}

// Takes the command's flags (anywhere after its name) out of words.
bool takeFlags(const Command &command, QStringList &words, Call &call, QString *error)
{
    for (int i = 0; i < words.size();) {
        if (!words.at(i).startsWith(QLatin1String("--"))) {
            ++i;
            continue;
        }
        const Flag *flag = nullptr;
        for (const Flag &f : command.flags)
            if (words.at(i) == QLatin1String(f.name))
                flag = &f;
        if (!flag) {
            *error = QStringLiteral("'%1' has no option %2").arg(QLatin1String(command.name), words.at(i));
            return false;
        }
        const QString value = flag->value ? words.value(i + 1) : QString();
        if (flag->value && value.isEmpty()) {
            *error = QStringLiteral("%1 needs %2").arg(words.at(i), QLatin1String(flag->value));
            return false;
        }
        call.flags.insert(words.at(i), value);
        words.erase(words.begin() + i, words.begin() + i + (flag->value ? 2 : 1));
    }
    return true;
}

// One positional word as its argument's value; an error text when it does not fit.
QString convert(const Arg &arg, const QString &word, QString *value)
{
    const QString label = QLatin1String(arg.label);
    switch (arg.kind) {
    case ArgKind::Term:
        return pairHash(word, value) ? QString() : QStringLiteral("TERM must be TID.FID, got '%1'").arg(word);
    case ArgKind::Pair:
        return pairHash(word, value)
            ? QString()
            : QStringLiteral("%1 must be two numbers A.B, got '%2'").arg(label, word);
    case ArgKind::Number:
        *value = word;
        return numberPattern.match(word).hasMatch()
            ? QString()
            : QStringLiteral("%1 must be a number, got '%2'").arg(label, word);
    case ArgKind::Choice:
        *value = word;
        return label.split(QLatin1Char('|')).contains(word)
            ? QString()
            : QStringLiteral("expected %1, got '%2'").arg(label, word);
    case ArgKind::Text:
    case ArgKind::Fields:
        break;
    }
    *value = word;
    return QString();
}

// The positional words in the order of the shape, then the key=value words.
bool takeArguments(const Command &command, const QStringList &words, Call &call, QString *error)
{
    const QString name = QLatin1String(command.name);
    int next = 0;
    for (const Arg &arg : command.args) {
        const bool missing = next >= words.size();
        if (missing && !arg.optional) {
            *error = QStringLiteral("'%1' needs more arguments").arg(name);
            return false;
        }
        if (arg.kind == ArgKind::Fields)
            return addFields(words.mid(next), call.fields, error);
        QString value; // an optional argument left out stays empty
        if (!missing) {
            *error = convert(arg, words.at(next++), &value);
            if (!error->isEmpty())
                return false;
        }
        call.values << value;
    }
    if (next < words.size()) {
        *error = QStringLiteral("'%1' does not take '%2'").arg(name, words.at(next));
        return false;
    }
    return true;
}

} // namespace

TermCommands::TermCommands(const TermClient &client, QTextStream &out, QTextStream &err)
    : client(client)
    , out(out)
    , err(err)
{ }

QString TermCommands::usage()
{
    // Notes line up after the common synopses; the longest ones just get two spaces.
    constexpr int noteColumn = 46;
    QString text = QStringLiteral("Commands (TERM is TID.FID, the terminal id and its Vorn ID):\n");
    for (const Command &command : commandTable())
        text += QStringLiteral("  %1  %2\n")
                    .arg(synopsis(command).leftJustified(noteColumn), QLatin1String(command.what));
    return text;
}

TermCommands::Request TermCommands::parse(const QStringList &args, qint64 now)
{
    if (args.isEmpty())
        return failure(QStringLiteral("no command"));
    const Command *command = findCommand(args.first());
    if (!command)
        return failure(QStringLiteral("unknown command '%1'").arg(args.first()));
    QStringList words = args.mid(1);
    Call call;
    call.now = now;
    QString error;
    if (!takeFlags(*command, words, call, &error) || !takeArguments(*command, words, call, &error))
        return failure(error);
    return command->handler(*command, call);
}

TermCommands::Request TermCommands::acknowledgement(const QString &term, const QJsonValue &envelope)
{
    const quint32 mask = deliveredMask(envelope[QStringLiteral("res")]);
    const qint64 st = envelope[QStringLiteral("st")].toVariant().toLongLong();
    if (mask == 0 || st <= 1)
        return local(QStringLiteral("nothing delivered, nothing to acknowledge"));
    // A marker whose statement began in the second before "st" may have been
    // committed after the lists were read: confirm only what is older.
    Request request;
    request.method = QStringLiteral("DELETE");
    request.path = QStringLiteral("sync/%1/%2").arg(term, TermClient::hash(quint64(st - 1), mask));
    return request;
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

int TermCommands::send(const Request &request)
{
    if (request.method.isEmpty()) {
        out << request.output << "\n";
        out.flush();
        return 0;
    }
    const TermClient::Answer answer = client.send(request.method, request.path, request.body);
    const int code = print(answer);
    if (request.acknowledgeFor.isEmpty() || code != 0)
        return code;
    return send(acknowledgement(request.acknowledgeFor, answer.json));
}

int TermCommands::run(const QStringList &args)
{
    const Request request = parse(args, QDateTime::currentSecsSinceEpoch());
    return request.error.isEmpty() ? send(request) : usageError(request.error);
}
