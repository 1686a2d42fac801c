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

} // namespace

QList<ScriptLint::Remark> ScriptLint::scan(QIODevice &device)
{
    static const QRegularExpression journalMode(QStringLiteral("^PRAGMA\\s+(\\w+\\s*\\.\\s*)?journal_mode\\b"),
                                                QRegularExpression::CaseInsensitiveOption);
    const ZRSqlParser parser;
    QList<Remark> remarks;
    State state = State::Code;
    // The statement's code outside literals and comments, and the line it starts on.
    QString code;
    int statementLine = 0;
    const auto endStatement = [&]() {
        if (journalMode.match(code.trimmed()).hasMatch())
            remarks.append({Kind::JournalMode, statementLine});
        code.clear();
        statementLine = 0;
    };

    int lineNumber = 0;
    while (!device.atEnd()) {
        QByteArray raw = device.readLine();
        if (raw.isEmpty())
            break; // a read error: the parser reports it
        ++lineNumber;
        if (lineNumber == 1 && raw.startsWith(kUtf8Bom))
            raw.remove(0, int(sizeof(kUtf8Bom)) - 1);
        if (parser.isIgnoredLine(raw)) {
            if (raw.startsWith('#') && isLiteral(state))
                remarks.append({Kind::CommentLineInLiteral, lineNumber});
            continue;
        }
        const QString line = QString::fromUtf8(raw);
        for (int i = 0; i < line.size(); ++i) {
            const QChar c = line.at(i);
            const QChar next = i + 1 < line.size() ? line.at(i + 1) : QChar();
            switch (state) {
            case State::Code:
                if (c == QLatin1Char(';')) {
                    endStatement();
                    break;
                }
                if (c == QLatin1Char('-') && next == QLatin1Char('-')) {
                    state = State::LineComment;
                    ++i;
                } else if (c == QLatin1Char('/') && next == QLatin1Char('*')) {
                    state = State::BlockComment;
                    ++i;
                } else if (c == QLatin1Char('\'')) {
                    state = State::SingleQuoted;
                } else if (c == QLatin1Char('"')) {
                    state = State::DoubleQuoted;
                } else if (c == QLatin1Char('[')) {
                    state = State::Bracketed;
                } else if (c == QLatin1Char('`')) {
                    state = State::Backticked;
                }
                if (state == State::Code || isLiteral(state) || state == State::Bracketed || state == State::Backticked) {
                    if (statementLine == 0 && !c.isSpace())
                        statementLine = lineNumber;
                }
                // A literal or comment counts as one blank in the statement's code.
                code += state == State::Code ? c : QLatin1Char(' ');
                break;
            case State::SingleQuoted: // '' closes and opens again: the same
                if (c == QLatin1Char('\''))
                    state = State::Code;
                break;
            case State::DoubleQuoted:
                if (c == QLatin1Char('"'))
                    state = State::Code;
                break;
            case State::Bracketed:
                if (c == QLatin1Char(']'))
                    state = State::Code;
                break;
            case State::Backticked:
                if (c == QLatin1Char('`'))
                    state = State::Code;
                break;
            case State::LineComment:
                if (c == QLatin1Char('\n'))
                    state = State::Code;
                break;
            case State::BlockComment:
                if (c == QLatin1Char('*') && next == QLatin1Char('/')) {
                    state = State::Code;
                    ++i;
                }
                break;
            }
        }
    }
    endStatement();
    return remarks;
}

QList<ScriptLint::Remark> ScriptLint::scanFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return scan(file);
}
