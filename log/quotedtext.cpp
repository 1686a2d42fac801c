#include "log/quotedtext.h"

#include "log/applog.h"

#include <QDebugStateSaver>
#include <QStringView>

#include <utility>

namespace {

// The escapes the stream writes as a backslash and one letter or sign (which it
// returns, 0 for any other character); no character is written differently when one
// of these precedes it.
char shortEscape(ushort u)
{
    switch (u) {
    case '"':
        return '"';
    case '\\':
        return '\\';
    case '\n':
        return 'n';
    case '\r':
        return 'r';
    case '\t':
        return 't';
    default:
        return 0;
    }
}

bool isWrittenAsIs(QChar c)
{
    const ushort u = c.unicode();
    if (u >= 0x20 && u < 0x7f)
        return u != '"' && u != '\\';
    // The stream escapes every other character that is not printable (surrogates
    // included, which it writes as the code point of their pair).
    return u >= 0x80 && !c.isSurrogate() && c.isPrint();
}

// How the stream writes an ASCII character: as it stands, with a short escape, or
// otherwise (an escape of its code).
enum class Ascii : unsigned char { AsIs, Short, Other };

struct AsciiTable
{
    Ascii kind[0x80];
    AsciiTable()
    {
        for (ushort u = 0; u < 0x80; ++u)
            kind[u] = shortEscape(u) != 0 ? Ascii::Short : (u >= 0x20 && u < 0x7f) ? Ascii::AsIs : Ascii::Other;
    }
};

// Whether every character is written as it stands or with a short escape; *escapes
// tells whether any of the latter occurs.
bool scan(const QString &text, bool *escapes)
{
    static const AsciiTable table;
    *escapes = false;
    for (const QChar c : text) {
        const ushort u = c.unicode();
        if (u < 0x80) {
            const Ascii kind = table.kind[u];
            if (kind == Ascii::AsIs)
                continue;
            if (kind == Ascii::Other)
                return false;
            *escapes = true;
        } else if (!isWrittenAsIs(c)) {
            return false;
        }
    }
    return true;
}

} // namespace

bool QuotedText::isSimple(const QString &text)
{
    bool escapes = false;
    return scan(text, &escapes);
}

QDebug &operator<<(QDebug &debug, const QuotedText &quoted)
{
    const QDebugStateSaver saver(debug);
    QString text;
    quoted.appendTo(text);
    debug.noquote().nospace() << text;
    return debug;
}

void QuotedText::appendTo(QString &out) const
{
    bool escapes = false;
    if (!scan(m_text, &escapes)) {
        // Rare (control characters, surrogates): the stream's own escapes.
        QString streamed;
        QDebug(&streamed).nospace() << m_text;
        out.append(streamed);
        return;
    }
    out.append(QLatin1Char('"'));
    const QChar *data = m_text.constData();
    int runStart = 0;
    for (int i = 0; escapes && i < m_text.size(); ++i) {
        const char escape = shortEscape(data[i].unicode());
        if (escape == 0)
            continue;
        out.append(data + runStart, i - runStart);
        out.append(QLatin1Char('\\')).append(QLatin1Char(escape));
        runStart = i + 1;
    }
    out.append(data + runStart, m_text.size() - runStart);
    out.append(QLatin1Char('"'));
}

void QuotedText::logDebug(const char *signature, const char *label, const QString &text)
{
    if (!appLog().isDebugEnabled())
        return;
    // Its capacity stays from line to line.
    static thread_local QString line;
    line.resize(0);
    line.append(QLatin1String(signature)).append(QLatin1Char(' ')).append(QLatin1String(label));
    line.append(QLatin1Char(' '));
    QuotedText(text).appendTo(line);
    qt_message_output(QtDebugMsg, QMessageLogContext(nullptr, 0, nullptr, appLog().categoryName()), line);
}

QDebug operator<<(QDebug &&debug, const QuotedText &quoted)
{
    debug << quoted;
    return std::move(debug);
}
