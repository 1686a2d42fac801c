#ifndef BINDVALUE_H
#define BINDVALUE_H

#include <QString>
#include <QVariant>
#include <QtSql/qtsqlglobal.h>

// One value for one named placeholder of a prepared statement. A statement's
// bindings are a QVector<BindValue>; a batch has one such vector per statement,
// matched by position.
struct BindValue
{
    QString placeholder;              // as written in the statement, e.g. ":name"
    QVariant value;
    QSql::ParamType paramType = QSql::In; // handed to the binding unchanged
};

#endif // BINDVALUE_H
