#ifndef COLUMNTEST_H
#define COLUMNTEST_H

#include "db/bindvalue.h"

#include <QString>
#include <QVector>

class QSqlQuery;

// The column test of the update scripts' IFN_COL directive, asked of the installed
// database (DBControl) and of the check's trial copy (TrialDatabase) alike: does the
// table's CREATE statement mention the column (ASCII letter case ignored)? The names
// are bound, never pasted into the text, so a quote in a name can neither break the
// query nor change what it asks; "%" and "_" in the column name keep their LIKE meaning.
class ColumnTest
{
public:
    // The query on masterTable ("SQLITE_MASTER", or an attached database's).
    static QString sql(const QString &masterTable);
    static QVector<BindValue> values(const QString &table, const QString &column);
    // 1 when the query that ran found the column, 0 when not.
    static int answer(QSqlQuery &query);

private:
    ColumnTest() = delete;
};

#endif // COLUMNTEST_H
