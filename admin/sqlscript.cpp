#include "sqlscript.h"

#include <QRegularExpression>

namespace {

const QRegularExpression delimiterLine(
    QStringLiteral("^\\s*DELIMITER\\s+(\\S+)\\s*$"), QRegularExpression::CaseInsensitiveOption);

enum class State { Code, Quoted, LineComment, BlockComment };

// The client's reading of a script, line by line; each in* step takes the
// character at i and those it belongs with, and returns the index of the last
// one taken.
class Splitter
{
public:
    void addLine(const QString &line);
    QStringList finish()
    {
        finishStatement();
        return result;
    }

private:
    int inQuote(const QString &line, int i);
    int inBlockComment(const QString &line, int i);
    int inCode(const QString &line, int i);
    void finishStatement();

    QStringList result;
    QString delimiter = QStringLiteral(";");
    QString current;
    bool hasCode = false;
    State state = State::Code;
    QChar quote;
};

void Splitter::addLine(const QString &line)
{
    // The client reads DELIMITER only where a statement begins.
    const QRegularExpressionMatch match = delimiterLine.match(line);
    if (state == State::Code && !hasCode && match.hasMatch()) {
        delimiter = match.captured(1);
        current.clear();
        return;
    }
    if (state == State::LineComment)
        state = State::Code;
    for (int i = 0; i < line.size(); ++i) {
        switch (state) {
        case State::Quoted:
            i = inQuote(line, i);
            break;
        case State::BlockComment:
            i = inBlockComment(line, i);
            break;
        case State::LineComment:
            current += line.at(i);
            break;
        case State::Code:
            i = inCode(line, i);
            break;
        }
    }
    current += QLatin1Char('\n');
}

int Splitter::inQuote(const QString &line, int i)
{
    const QChar c = line.at(i);
    current += c;
    if (c == QLatin1Char('\\') && quote != QLatin1Char('`') && i + 1 < line.size())
        current += line.at(++i);
    else if (c == quote)
        state = State::Code;
    return i;
}

int Splitter::inBlockComment(const QString &line, int i)
{
    current += line.at(i);
    if (line.midRef(i).startsWith(QLatin1String("*/"))) {
        current += line.at(++i);
        state = State::Code;
    }
    return i;
}

int Splitter::inCode(const QString &line, int i)
{
    const QChar c = line.at(i);
    const QStringRef rest = line.midRef(i);
    if (rest.startsWith(delimiter)) {
        finishStatement();
        return i + delimiter.size() - 1;
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
    return i;
}

void Splitter::finishStatement()
{
    if (hasCode)
        result << current.trimmed();
    current.clear();
    hasCode = false;
}

} // namespace

QStringList SqlScript::statements(const QString &text)
{
    Splitter splitter;
    for (const QString &line : text.split(QLatin1Char('\n')))
        splitter.addLine(line);
    return splitter.finish();
}
