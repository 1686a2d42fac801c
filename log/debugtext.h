#ifndef DEBUGTEXT_H
#define DEBUGTEXT_H

#include <QDebug>
#include <QString>

#include <initializer_list>

// The text that qDebug() << message << values... writes, built by the debug stream
// itself (strings in double quotes and escaped, items separated by spaces), for a class
// that keeps its last failure as a value besides logging it.
template <typename... Values>
QString debugText(const char *message, const Values &...values)
{
    QString text;
    {
        QDebug stream(&text);
        stream << message;
        (void)std::initializer_list<int>{((void)(stream << values), 0)...};
    }
    // The stream leaves the space it adds after every item.
    if (text.endsWith(QLatin1Char(' ')))
        text.chop(1);
    return text;
}

#endif // DEBUGTEXT_H
