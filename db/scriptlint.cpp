#include "db/scriptlint.h"

#include "db/zrsqlparser.h"

#include <QFile>
#include <QRegularExpression>

namespace {

const char kUtf8Bom[] = "\xEF\xBB\xBF";

enum class State { Code, SingleQuoted, DoubleQuoted, Bracketed, Backticked, LineComment, BlockComment };

bool isLiteral(State state)
{
    return state == State::SingleQuoted || state == State::DoubleQuoted;
}

// How many characters, from c on, end the literal, quoted name or comment the text is
// in; 0 while it goes on. In a literal '' closes and opens again: the same.
int closingLength(State state, QChar c, QChar next)
{
    switch (state) {
    case State::SingleQuoted:
        return c == QLatin1Char('\'') ? 1 : 0;
    case State::DoubleQuoted:
        return c == QLatin1Char('"') ? 1 : 0;
    case State::Bracketed:
        return c == QLatin1Char(']') ? 1 : 0;
    case State::Backticked:
        return c == QLatin1Char('`') ? 1 : 0;
    case State::LineComment:
        return c == QLatin1Char('\n') ? 1 : 0;
    case State::BlockComment:
        return c == QLatin1Char('*') && next == QLatin1Char('/') ? 2 : 0;
    case State::Code:
        break;
    }
    return 0;
}

// What c, in code, opens (State::Code: nothing), and how many characters that takes.
State opened(QChar c, QChar next, int *length)
{
    *length = 1;
    if (c == QLatin1Char('-') && next == QLatin1Char('-')) {
        *length = 2;
        return State::LineComment;
    }
    if (c == QLatin1Char('/') && next == QLatin1Char('*')) {
        *length = 2;
        return State::BlockComment;
    }
    if (c == QLatin1Char('\''))
        return State::SingleQuoted;
    if (c == QLatin1Char('"'))
        return State::DoubleQuoted;
    if (c == QLatin1Char('['))
        return State::Bracketed;
    if (c == QLatin1Char('`'))
        return State::Backticked;
    return State::Code;
}

// One script's reading, line by line.
class Scanner
{
public:
    void readLine(const QString &line, int lineNumber);
    void endStatement();
    State state() const { return m_state; }
    QList<ScriptLint::Remark> remarks;

private:
    void readCode(QChar c, QChar next, int lineNumber, int *i);

    State m_state = State::Code;
    // The statement's code outside literals and comments, and the line it starts on.
    QString m_code;
    int m_statementLine = 0;
};

void Scanner::endStatement()
{
    static const QRegularExpression journalMode(QStringLiteral("^PRAGMA\\s+(\\w+\\s*\\.\\s*)?journal_mode\\b"),
                                                QRegularExpression::CaseInsensitiveOption);
    if (journalMode.match(m_code.trimmed()).hasMatch())
        remarks.append({ScriptLint::Kind::JournalMode, m_statementLine});
    m_code.clear();
    m_statementLine = 0;
}

void Scanner::readCode(QChar c, QChar next, int lineNumber, int *i)
{
    if (c == QLatin1Char(';')) {
        endStatement();
        return;
    }
    int length = 1;
    m_state = opened(c, next, &length);
    *i += length - 1;
    const bool comment = m_state == State::LineComment || m_state == State::BlockComment;
    if (!comment && m_statementLine == 0 && !c.isSpace())
        m_statementLine = lineNumber;
    // A literal or comment counts as one blank in the statement's code.
    m_code += m_state == State::Code ? c : QLatin1Char(' ');
}

void Scanner::readLine(const QString &line, int lineNumber)
{
    for (int i = 0; i < line.size(); ++i) {
        const QChar c = line.at(i);
        const QChar next = i + 1 < line.size() ? line.at(i + 1) : QChar();
        if (m_state == State::Code) {
            readCode(c, next, lineNumber, &i);
            continue;
        }
        const int length = closingLength(m_state, c, next);
        if (length > 0) {
            m_state = State::Code;
            i += length - 1;
        }
    }
}

} // namespace

QList<ScriptLint::Remark> ScriptLint::scan(QIODevice &device)
{
    const ZRSqlParser parser;
    Scanner scanner;
    int lineNumber = 0;
    while (!device.atEnd()) {
        QByteArray raw = device.readLine();
        if (raw.isEmpty())
            break; // a read error: the parser reports it
        ++lineNumber;
        if (lineNumber == 1 && raw.startsWith(kUtf8Bom))
            raw.remove(0, int(sizeof(kUtf8Bom)) - 1);
        if (!parser.isIgnoredLine(raw))
            scanner.readLine(QString::fromUtf8(raw), lineNumber);
        else if (raw.startsWith('#') && isLiteral(scanner.state()))
            scanner.remarks.append({Kind::CommentLineInLiteral, lineNumber});
    }
    scanner.endStatement();
    return scanner.remarks;
}

QList<ScriptLint::Remark> ScriptLint::scanFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return scan(file);
}
