#include "platform/displayicon.h"

#include <QDir>
#include <QRegularExpression>

QString DisplayIcon::programPath(const QString &value)
{
#ifdef Q_OS_WIN
    const QString trimmed = value.trimmed();
    if (trimmed.startsWith(QLatin1Char('"'))) {
        const int end = trimmed.indexOf(QLatin1Char('"'), 1);
        return end < 0 ? trimmed.mid(1) : trimmed.mid(1, end - 1);
    }
    // A comma cannot end a program file's name here: the icon index follows it.
    static const QRegularExpression iconIndex(QStringLiteral(",\\s*-?\\d+$"));
    QString path = trimmed;
    path.remove(iconIndex);
    return path;
#else
    return value;
#endif
}

QString DisplayIcon::directoryOf(const QString &programPath)
{
    const int separator = qMax(programPath.lastIndexOf(QLatin1Char('\\')), programPath.lastIndexOf(QLatin1Char('/')));
    const QString directory = separator >= 0 ? programPath.left(separator) : programPath;
#ifdef Q_OS_WIN
    return QDir::fromNativeSeparators(directory);
#else
    return directory;
#endif
}
