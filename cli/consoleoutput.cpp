#include "cli/consoleoutput.h"

#include "driver/updatesequence.h"
#include "context/consoletext.h"

#include <QtGlobal>

#ifdef Q_OS_WIN
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {

constexpr int kBarWidth = 40;

// The texts include Chinese and paths in any script: a terminal left in the C locale,
// or a Windows console code page, would otherwise get "?". ConsoleStream hands a
// Windows console the text as UTF-16.
void useConsoleCodec(QTextStream &stream)
{
    stream.setCodec("UTF-8");
}

} // namespace

ConsoleOutput::ConsoleOutput(FILE *out, FILE *err, bool quiet)
    : ConsoleOutput(out, err, quiet, isTerminal(out) ? Style::Bar : Style::Lines)
{
}

ConsoleOutput::ConsoleOutput(FILE *out, FILE *err, bool quiet, Style style)
    : m_outStream(out)
    , m_errStream(err)
    , m_out(&m_outStream)
    , m_err(&m_errStream)
    , m_quiet(quiet)
    , m_style(style)
{
    useConsoleCodec(m_out);
    useConsoleCodec(m_err);
}

ConsoleOutput::~ConsoleOutput()
{
    endBarLine();
}

bool ConsoleOutput::isTerminal(FILE *stream)
{
#ifdef Q_OS_WIN
    return _isatty(_fileno(stream)) != 0;
#else
    if (!isatty(fileno(stream)))
        return false;
    // A terminal that cannot move the cursor back would show every redraw.
    return qgetenv("TERM") != "dumb";
#endif
}

void ConsoleOutput::stage(const QString &name)
{
    if (m_quiet)
        return;
    endBarLine();
    m_out << name << '\n';
    m_out.flush();
}

void ConsoleOutput::addProgress(int increment)
{
    setProgress(UpdateSequence::addProgress(m_progress, increment));
}

void ConsoleOutput::setProgress(int value)
{
    value = qMax(0, value);
    if (value == m_progress)
        return;
    m_progress = value;
    if (m_quiet)
        return;
    if (m_style == Style::Bar) {
        drawBar();
    } else {
        m_out << "  " << ConsoleText::tr("progress %1%").arg(m_progress) << '\n';
        m_out.flush();
    }
}

void ConsoleOutput::resetProgress()
{
    endBarLine();
    m_progress = 0;
}

void ConsoleOutput::info(const QString &text)
{
    if (!m_quiet)
        notice(text);
}

void ConsoleOutput::notice(const QString &text)
{
    endBarLine();
    m_out << text << '\n';
    m_out.flush();
}

void ConsoleOutput::error(const QString &text)
{
    endBarLine();
    m_err << text << '\n';
    m_err.flush();
}

void ConsoleOutput::result(const QString &text, bool success)
{
    if (success)
        info(text);
    else
        error(text);
}

void ConsoleOutput::endBarLine()
{
    if (!m_barOpen)
        return;
    m_out << '\n';
    m_out.flush();
    m_barOpen = false;
}

void ConsoleOutput::drawBar()
{
    const int filled = m_progress * kBarWidth / 100;
    m_out << "\r  [" << QString(filled, QLatin1Char('#')) << QString(kBarWidth - filled, QLatin1Char('.'))
          << "] " << QStringLiteral("%1%").arg(m_progress, 3);
    m_out.flush();
    m_barOpen = true;
}
