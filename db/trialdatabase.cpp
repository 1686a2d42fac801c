#include "db/trialdatabase.h"

#include "db/columntest.h"
#include "db/databasesnapshot.h"

#include <QAtomicInt>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>
#include <QUrl>
#include <QVariant>

namespace {

QAtomicInt s_connectionCounter;

QString quoted(const QString &name)
{
    QString escaped = name;
    escaped.replace(QLatin1Char('"'), QLatin1String("\"\""));
    return QStringLiteral("\"%1\"").arg(escaped);
}

struct SchemaObject
{
    QString type;
    QString name;
    QString sql;
};

} // namespace

TrialDatabase::TrialDatabase(const QString &installedPath)
    : m_connectionName(QStringLiteral("corvane-trial-%1").arg(s_connectionCounter.fetchAndAddRelaxed(1)))
{
    m_db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connectionName);
    m_db.setDatabaseName(QStringLiteral(":memory:"));
    // Lets ATTACH take a "file:" URI (a path with "?" or "#" in it would otherwise be cut).
    m_db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_URI"));
    if (!m_db.open()) {
        m_error = m_db.lastError().text();
        return;
    }
    m_state = copyInstalled(installedPath);
}

TrialDatabase::~TrialDatabase()
{
    m_db.close();
    m_db = QSqlDatabase();
    QSqlDatabase::removeDatabase(m_connectionName);
}

bool TrialDatabase::canRun() const
{
    return m_state == State::Copied || m_state == State::NoInstalledFile;
}

bool TrialDatabase::exec(const QString &sql)
{
    QSqlQuery query(m_db);
    if (query.exec(sql))
        return true;
    m_error = QStringLiteral("%1 (%2)").arg(query.lastError().text(), sql);
    return false;
}

TrialDatabase::State TrialDatabase::copyInstalled(const QString &installedPath)
{
    const QFileInfo info(installedPath);
    if (!info.exists() && !info.isSymLink())
        return State::NoInstalledFile;
    if (!info.isFile()) {
        m_error = QStringLiteral("not a file");
        return State::Unreadable;
    }

    m_snapshot = std::make_unique<DatabaseSnapshot>(info.absoluteFilePath());
    if (m_snapshot->state() != DatabaseSnapshot::State::Taken) {
        m_error = m_snapshot->errorString();
        return State::Unreadable;
    }
    QSqlQuery attach(m_db);
    attach.prepare(QStringLiteral("ATTACH DATABASE ? AS installed"));
    attach.addBindValue(QUrl::fromLocalFile(m_snapshot->filePath()).toString(QUrl::FullyEncoded));
    if (!attach.exec()) {
        m_error = attach.lastError().text();
        return State::Unreadable;
    }
    attach.finish();

    // The first read of the file: a file that is not a database fails here.
    QSqlQuery probe(m_db);
    if (!probe.exec(QStringLiteral("SELECT COUNT(*) FROM installed.sqlite_master"))) {
        m_error = probe.lastError().text();
        probe.finish();
        exec(QStringLiteral("DETACH DATABASE installed"));
        return State::Unreadable;
    }
    probe.finish();

    if (!copyObjects()) {
        // No trial run on half a copy; the column test asks the installed file itself.
        m_masterTable = QStringLiteral("installed.SQLITE_MASTER");
        return State::CopyFailed;
    }

    // Releases the installed file; the copy lives on in memory.
    if (!exec(QStringLiteral("DETACH DATABASE installed"))) {
        m_masterTable = QStringLiteral("installed.SQLITE_MASTER");
        return State::CopyFailed;
    }
    return State::Copied;
}

bool TrialDatabase::copyObjects()
{
    QList<SchemaObject> objects;
    {
        QSqlQuery master(m_db);
        master.setForwardOnly(true);
        if (!master.exec(QStringLiteral("SELECT type, name, sql FROM installed.sqlite_master "
                                        "WHERE sql IS NOT NULL ORDER BY rowid"))) {
            m_error = master.lastError().text();
            return false;
        }
        while (master.next())
            objects.append({master.value(0).toString(), master.value(1).toString(), master.value(2).toString()});
    }

    // Tables and their rows first; indexes, views and triggers afterwards, so that no
    // trigger fires while rows are copied.
    for (const SchemaObject &object : qAsConst(objects)) {
        if (object.type != QLatin1String("table") || object.name.startsWith(QLatin1String("sqlite_")))
            continue;
        if (!exec(object.sql))
            return false;
        // Generated columns (hidden 2 and 3) take no values.
        QStringList columns;
        {
            QSqlQuery tableInfo(m_db);
            if (!tableInfo.exec(QStringLiteral("PRAGMA installed.table_xinfo(%1)").arg(quoted(object.name)))) {
                m_error = tableInfo.lastError().text();
                return false;
            }
            while (tableInfo.next()) {
                if (tableInfo.value(6).toInt() == 0)
                    columns.append(quoted(tableInfo.value(1).toString()));
            }
        }
        const QString list = columns.join(QLatin1Char(','));
        if (!exec(QStringLiteral("INSERT INTO main.%1 (%2) SELECT %2 FROM installed.%1").arg(quoted(object.name), list)))
            return false;
    }

    // The AUTOINCREMENT counters: both sides have the table once such a table exists.
    bool hasSequence = false;
    {
        QSqlQuery sequence(m_db);
        hasSequence = sequence.exec(QStringLiteral("SELECT 1 FROM installed.sqlite_master WHERE name = 'sqlite_sequence' "
                                                   "AND EXISTS (SELECT 1 FROM main.sqlite_master "
                                                   "WHERE name = 'sqlite_sequence')"))
            && sequence.next();
    }
    // Copying the rows has set the counters to the highest ids; the installed ones may
    // be higher (rows deleted since), and new ids must follow those.
    if (hasSequence
        && (!exec(QStringLiteral("DELETE FROM main.sqlite_sequence"))
            || !exec(QStringLiteral("INSERT INTO main.sqlite_sequence (name, seq) SELECT name, seq FROM installed.sqlite_sequence"))))
        return false;

    for (const SchemaObject &object : qAsConst(objects)) {
        if (object.type != QLatin1String("table") && !exec(object.sql))
            return false;
    }

    qlonglong userVersion = 0;
    {
        QSqlQuery version(m_db);
        if (version.exec(QStringLiteral("PRAGMA installed.user_version")) && version.next())
            userVersion = version.value(0).toLongLong();
    }
    return exec(QStringLiteral("PRAGMA main.user_version = %1").arg(userVersion));
}

int TrialDatabase::isColumnExists(const QString &table, const QString &column)
{
    QSqlQuery query(m_db);
    if (!query.prepare(ColumnTest::sql(m_masterTable)))
        return -1;
    for (const BindValue &value : ColumnTest::values(table, column))
        query.bindValue(value.placeholder, value.value);
    return query.exec() ? ColumnTest::answer(query) : -1;
}

bool TrialDatabase::run(const QStringList &statements, int *failedIndex, QString *error)
{
    *failedIndex = -1;
    if (!begin(error))
        return false;
    for (int i = 0; i < statements.size(); ++i) {
        if (!execStatement(statements.at(i), error)) {
            *failedIndex = i;
            QString ignored;
            finish(false, &ignored);
            return false;
        }
    }
    return finish(true, error);
}

bool TrialDatabase::begin(QString *error)
{
    if (!canRun() || !m_db.transaction()) {
        *error = canRun() ? m_db.lastError().text() : m_error;
        return false;
    }
    m_query = std::make_unique<QSqlQuery>(m_db);
    m_query->setForwardOnly(true);
    return true;
}

bool TrialDatabase::execStatement(const QString &statement, QString *error)
{
    if (!m_query || !m_query->exec(statement)) {
        *error = m_query ? m_query->lastError().text() : QStringLiteral("no transaction");
        return false;
    }
    return true;
}

bool TrialDatabase::finish(bool ok, QString *error)
{
    if (!m_query)
        return false;
    m_query->finish();
    m_query.reset();
    if (!ok) {
        m_db.rollback();
        return false;
    }
    if (!m_db.commit()) {
        *error = m_db.lastError().text();
        m_db.rollback();
        return false;
    }
    return true;
}
