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
// or, for the line of every statement, QuotedText::logDebug("...", "sql:", statement).
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
    // Appends the text as the stream writes it, quotes included.
    void appendTo(QString &out) const;

    // The debug line of the updater's category that
    //     ZR_LOG_DEBUG(signature) << label << QuotedText(text);
    // writes, made without a debug stream (whose set-up costs as much as the rest of
    // the line): every statement of a script gets one. signature and label are ASCII.
    static void logDebug(const char *signature, const char *label, const QString &text);

private:
    const QString &m_text;
};

// Written as appendTo() makes it, whatever quoting the stream was set to.
QDebug &operator<<(QDebug &debug, const QuotedText &quoted);
// First on a stream just made, e.g. QDebug(&text) << QuotedText(value).
QDebug operator<<(QDebug &&debug, const QuotedText &quoted);

#endif // QUOTEDTEXT_H
