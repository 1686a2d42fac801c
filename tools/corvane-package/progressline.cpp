#include "tools/corvane-package/progressline.h"

#ifdef Q_OS_WIN
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

ProgressLine::ProgressLine(FILE *stream)
    : m_stream(stream)
    , m_terminal(isatty(fileno(stream)) != 0)
{
}

ProgressLine::~ProgressLine()
{
    finish();
}

void ProgressLine::update(const QString &what, qint64 done, qint64 total)
{
    if (!m_terminal)
        return;
    const int percent = total > 0 ? int(done * 100 / total) : 100;
    if (percent == m_lastPercent)
        return;
    m_lastPercent = percent;
    m_drawn = true;
    std::fprintf(m_stream, "\r  %s %3d%% (%lld of %lld MB)", what.toLocal8Bit().constData(), percent,
                 static_cast<long long>(done >> 20), static_cast<long long>(total >> 20));
    std::fflush(m_stream);
}

void ProgressLine::finish()
{
    if (m_drawn)
        std::fputc('\n', m_stream);
    m_drawn = false;
    m_lastPercent = -1;
}
