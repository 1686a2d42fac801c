#include "common/logcapture.h"

namespace {

LogCapture *s_current = nullptr;

QString levelWord(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg: return QStringLiteral("Debug");
    case QtInfoMsg: return QStringLiteral("Info");
    case QtWarningMsg: return QStringLiteral("Warning");
    case QtCriticalMsg: return QStringLiteral("Critical");
    case QtFatalMsg: return QStringLiteral("Fatal");
    }
    return QString();
}

} // namespace

LogCapture::LogCapture()
    : m_outer(s_current)
{
    s_current = this;
    m_previous = qInstallMessageHandler(&LogCapture::handler);
}

LogCapture::~LogCapture()
{
    qInstallMessageHandler(m_previous);
    s_current = m_outer;
}

QStringList LogCapture::linesContaining(const QString &text) const
{
    return m_lines.filter(text);
}

void LogCapture::clear()
{
    m_lines.clear();
    m_other.clear();
}

void LogCapture::handler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (!s_current)
        return;
    const QString line = QStringLiteral("%1 %2").arg(levelWord(type), message);
    if (context.category && qstrcmp(context.category, "ZR_LOG.A") == 0)
        s_current->m_lines << line;
    else
        s_current->m_other << line;
}
