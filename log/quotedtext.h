#ifndef QUOTEDTEXT_H
#define QUOTEDTEXT_H

#include <QDebug>
#include <QString>

// A string as a debug stream writes it by default: in double quotes, with what is not
// printable, the quote and the backslash escaped. The stream judges every character
// on its own; a string of printable characters and the usual escapes (\n, \t, \", ...),
// as script statements are, each of which gets a log line, is written in runs
// instead, with the same result:
//     ZR_LOG_DEBUG("...") << "sql:" << QuotedText(statement);
class QuotedText
{
public:
    explicit QuotedText(const QString &text)
        : m_text(text)
    {
    }
    const QString &text() const { return m_text; }
    // Whether every character of text is printable or has a two-character escape.
    static bool isSimple(const QString &text);

private:
    const QString &m_text;
};

// On the stream itself, not a copy of it: one line costs two copies fewer.
QDebug &operator<<(QDebug &debug, const QuotedText &quoted);
// First on a stream just made, e.g. QDebug(&text) << QuotedText(value).
QDebug operator<<(QDebug &&debug, const QuotedText &quoted);

#endif // QUOTEDTEXT_H
