#include "db/columntest.h"

#include <QSqlQuery>

QString ColumnTest::sql(const QString &masterTable)
{
    return QStringLiteral("SELECT COUNT(*) FROM %1 WHERE TYPE = 'table' AND NAME = :table AND SQL LIKE :column")
        .arg(masterTable);
}

QVector<BindValue> ColumnTest::values(const QString &table, const QString &column)
{
    return {{QStringLiteral(":table"), table}, {QStringLiteral(":column"), QString(QLatin1Char('%') + column + QLatin1Char('%'))}};
}

int ColumnTest::answer(QSqlQuery &query)
{
    return query.next() && query.value(0).toInt() > 0 ? 1 : 0;
}
