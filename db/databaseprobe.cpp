#include "db/databaseprobe.h"

#include "platform/fileinuse.h"

#include <QAtomicInt>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>

namespace {

// SQLite's result codes for a lock held elsewhere.
bool isBusy(const QSqlError &error)
{
    const QString code = error.nativeErrorCode();
    return code == QLatin1String("5") || code == QLatin1String("6");
}

} // namespace

DatabaseProbe::State DatabaseProbe::probe(const QString &path, QString *errorString)
{
    if (!QFileInfo(path).isFile())
        return State::Missing;

    static QAtomicInt counter;
    const QString connection = QStringLiteral("corvane-probe-%1").arg(counter.fetchAndAddRelaxed(1));
    State state = State::Failed;
    QString error;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection);
        db.setDatabaseName(path);
        // No waiting: a lock held now is the answer.
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=0"));
        if (!db.open()) {
            error = db.lastError().text();
            // A program that holds the file open without sharing (on Windows) keeps
            // SQLite from opening it at all: that database is in use too, not broken.
            if (FileInUse::isInUse(path))
                state = State::InUse;
        } else {
            QSqlQuery query(db);
            if (query.exec(QStringLiteral("BEGIN EXCLUSIVE"))) {
                query.exec(QStringLiteral("ROLLBACK"));
                state = State::Free;
            } else {
                error = query.lastError().text();
                state = isBusy(query.lastError()) ? State::InUse : State::Failed;
            }
            query.finish();
            db.close();
        }
    }
    QSqlDatabase::removeDatabase(connection);
    if (errorString)
        *errorString = error;
    return state;
}
