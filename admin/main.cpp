// kelvo-admin: the operator's tool for the information database, the
// tenants and their terminals.
#include "admincommands.h"
#include "adminsettings.h"

#include <QCoreApplication>
#include <QTextStream>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kelvo-admin"));
    QTextStream out(stdout);
    QTextStream err(stderr);
    AdminCommands commands(out, err, AdminSettings::defaultSqlDir(QCoreApplication::applicationDirPath()));
    return commands.run(QCoreApplication::arguments().mid(1));
}
