#include "layout/versionorder.h"

#include <QStringList>
#include <QVector>

#include <algorithm>

namespace {

QVector<int> numbers(const QString &version)
{
    QVector<int> parts;
    for (const QString &part : version.split(QLatin1Char('.'), Qt::KeepEmptyParts)) {
        bool ok = false;
        const int number = part.trimmed().toInt(&ok, 10);
        parts.append(ok ? number : 0);
    }
    return parts;
}

bool isDigits(const QString &text)
{
    return !text.isEmpty() && text.size() <= 4
        && std::all_of(text.cbegin(), text.cend(), [](QChar c) { return c >= QLatin1Char('0') && c <= QLatin1Char('9'); });
}

} // namespace

int VersionOrder::compare(const QString &a, const QString &b)
{
    const QVector<int> left = numbers(a);
    const QVector<int> right = numbers(b);
    for (int i = 0; i < std::max(left.size(), right.size()); ++i) {
        const int x = left.value(i);
        const int y = right.value(i);
        if (x != y)
            return x < y ? -1 : 1;
    }
    return 0;
}

bool VersionOrder::parseRelease(const QString &text, int *major, int *minor)
{
    const QStringList parts = text.split(QLatin1Char('.'), Qt::KeepEmptyParts);
    if (parts.size() != 2 || !isDigits(parts.at(0)) || !isDigits(parts.at(1)))
        return false;
    *major = parts.at(0).toInt();
    *minor = parts.at(1).toInt();
    return true;
}
