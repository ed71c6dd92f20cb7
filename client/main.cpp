// kelvo-term: a command-line attendance terminal for operators and tests.
#include "termclient.h"
#include "termcommands.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTextStream>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kelvo-term"));
    QTextStream out(stdout);
    QTextStream err(stderr);

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Attendance terminal on the command line.\n\n") + TermCommands::usage());
    parser.addHelpOption();
    const QCommandLineOption urlOption(QStringLiteral("url"),
        QStringLiteral("server and prefix (default $KELVO_URL or http://127.0.0.1:8080/kelvo)"),
        QStringLiteral("URL"));
    const QCommandLineOption tokenOption(QStringLiteral("token"),
        QStringLiteral("tenant token (default $KELVO_TOKEN)"), QStringLiteral("TOKEN"));
    const QCommandLineOption jsonOption(QStringLiteral("json"), QStringLiteral("send bodies as plain JSON"));
    const QCommandLineOption timeoutOption(QStringLiteral("timeout"),
        QStringLiteral("seconds to wait for an answer (default 30)"), QStringLiteral("S"),
        QStringLiteral("30"));
    parser.addOptions({ urlOption, tokenOption, jsonOption, timeoutOption });
    // Command flags (--ack, --force, --photo) belong to the command.
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsPositionalArguments);
    parser.process(app);

    QString url = parser.value(urlOption);
    if (url.isEmpty())
        url = qEnvironmentVariable("KELVO_URL", QStringLiteral("http://127.0.0.1:8080/kelvo"));
    const QUrl base(url, QUrl::StrictMode);
    if (!base.isValid() || base.scheme() != QLatin1String("http") || base.host().isEmpty()) {
        err << "kelvo-term: --url must be http://HOST[:PORT]/PREFIX, got '" << url << "'\n";
        return 2;
    }
    const QString token
        = parser.isSet(tokenOption) ? parser.value(tokenOption) : qEnvironmentVariable("KELVO_TOKEN");
    const TermClient client(
        base, token, parser.isSet(jsonOption), parser.value(timeoutOption).toInt() * 1000);
    TermCommands commands(client, out, err);
    return commands.run(parser.positionalArguments());
}
