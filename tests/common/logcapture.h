#ifndef LOGCAPTURE_H
#define LOGCAPTURE_H

#include <QString>
#include <QStringList>
#include <QtGlobal>

// Records the messages of the updater's category "ZR_LOG.A" while it lives, each as
// "<level word> <message>" the way the log file shows it after the timestamp, e.g.
//     Debug bool FormalUpdateO::execUpdate(const QString&) exec update "3_4_to_3_5"
// Messages of other categories are recorded in otherMessages() only. The handler that
// was installed before comes back when the object goes.
class LogCapture
{
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    QStringList lines() const { return m_lines; }
    QStringList otherMessages() const { return m_other; }
    // The recorded lines that contain text.
    QStringList linesContaining(const QString &text) const;
    void clear();

private:
    static void handler(QtMsgType type, const QMessageLogContext &context, const QString &message);

    QtMessageHandler m_previous = nullptr;
    LogCapture *m_outer = nullptr;
    QStringList m_lines;
    QStringList m_other;
};

#endif // LOGCAPTURE_H
