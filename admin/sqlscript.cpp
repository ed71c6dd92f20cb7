#include "sqlscript.h"

#include <QRegularExpression>

namespace {

const QRegularExpression delimiterLine(
    QStringLiteral("^\\s*DELIMITER\\s+(\\S+)\\s*$"), QRegularExpression::CaseInsensitiveOption);

enum class State { Code, Quoted, LineComment, BlockComment };

} // namespace

QStringList SqlScript::statements(const QString &text)
{
    QStringList result;
    QString delimiter = QStringLiteral(";");
    QString current;
    bool hasCode = false;
    State state = State::Code;
    QChar quote;

    const auto finish = [&] {
        if (hasCode)
            result << current.trimmed();
        current.clear();
        hasCode = false;
    };

    const QStringList lines = text.split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        // The client reads DELIMITER only where a statement begins.
        const QRegularExpressionMatch match = delimiterLine.match(line);
        if (state == State::Code && !hasCode && match.hasMatch()) {
            delimiter = match.captured(1);
            current.clear();
            continue;
        }
        if (state == State::LineComment)
            state = State::Code;
        for (int i = 0; i < line.size(); ++i) {
            const QChar c = line.at(i);
            const QStringRef rest = line.midRef(i);
            switch (state) {
            case State::Quoted:
                current += c;
                if (c == QLatin1Char('\\') && quote != QLatin1Char('`') && i + 1 < line.size())
                    current += line.at(++i);
                else if (c == quote)
                    state = State::Code;
                continue;
            case State::BlockComment:
                current += c;
                if (rest.startsWith(QLatin1String("*/"))) {
                    current += line.at(++i);
                    state = State::Code;
                }
                continue;
            case State::LineComment:
                current += c;
                continue;
            case State::Code:
                break;
            }
            if (rest.startsWith(delimiter)) {
                finish();
                i += delimiter.size() - 1;
                continue;
            }
            current += c;
            if (c == QLatin1Char('\'') || c == QLatin1Char('"') || c == QLatin1Char('`')) {
                quote = c;
                state = State::Quoted;
                hasCode = true;
            } else if (c == QLatin1Char('#') || rest.startsWith(QLatin1String("-- "))
                || rest == QLatin1String("--")) {
                state = State::LineComment;
            } else if (rest.startsWith(QLatin1String("/*"))) {
                current += line.at(++i);
                state = State::BlockComment;
            } else if (!c.isSpace()) {
                hasCode = true;
            }
        }
        current += QLatin1Char('\n');
    }
    finish();
    return result;
}
