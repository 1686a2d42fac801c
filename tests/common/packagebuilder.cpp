#include "common/packagebuilder.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>

#include <algorithm>

#ifndef Q_OS_WIN
#include <unistd.h>
#endif

namespace {

const QString markCode = QStringLiteral("tarnwoven");

// Each use of a database gets its own connection, closed and removed before returning,
// so nothing here ever shares or keeps the updater's default connection.
class ScopedConnection
{
public:
    explicit ScopedConnection(const QString &databasePath)
        : m_name(QStringLiteral("packagebuilder-%1").arg(++s_counter))
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_name);
        db.setDatabaseName(databasePath);
        db.open();
    }
    ~ScopedConnection()
    {
        {
            QSqlDatabase db = QSqlDatabase::database(m_name, false);
            db.close();
        }
        QSqlDatabase::removeDatabase(m_name);
    }
    QSqlDatabase database() const { return QSqlDatabase::database(m_name, false); }

private:
    static int s_counter;
    QString m_name;
};

int ScopedConnection::s_counter = 0;

} // namespace

PackageBuilder::PackageBuilder(const QString &root)
    : m_root(QDir::cleanPath(root))
{
    if (!QDir().mkpath(m_root))
        fail(QStringLiteral("cannot create root %1").arg(m_root));
}

QString PackageBuilder::path(const QString &relativePath) const
{
    return QStringLiteral("%1/%2").arg(m_root, relativePath);
}

PackageBuilder &PackageBuilder::files(const QStringList &rows)
{
    for (const QString &row : rows) {
        const int equals = row.indexOf(QLatin1Char('='));
        if (equals < 0 && row.endsWith(QLatin1Char('/')))
            dir(row);
        else if (equals > 0)
            file(row.left(equals), row.mid(equals + 1).toUtf8());
        else
            fail(QStringLiteral("row is neither \"path=contents\" nor \"dir/\": %1").arg(row));
    }
    return *this;
}

PackageBuilder &PackageBuilder::file(const QString &relativePath, const QByteArray &contents)
{
    const QString filePath = path(relativePath);
    if (!makeParent(filePath))
        return *this;
    QFile file(filePath);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        || file.write(contents) != contents.size()) {
        fail(QStringLiteral("cannot write %1: %2").arg(filePath, file.errorString()));
    }
    return *this;
}

PackageBuilder &PackageBuilder::dir(const QString &relativePath)
{
    if (!QDir().mkpath(path(relativePath)))
        fail(QStringLiteral("cannot create directory %1").arg(path(relativePath)));
    return *this;
}

PackageBuilder &PackageBuilder::markedIni(const QString &relativePath, const IniKeys &keys,
                                          Markers markers)
{
    const QString filePath = path(relativePath);
    if (!makeParent(filePath))
        return *this;
    QFile::remove(filePath);
    QSettings settings(filePath, QSettings::IniFormat);
    settings.setIniCodec("UTF-8");
    if (markers != Markers::None)
        settings.setValue(QStringLiteral("ZRFILE_BEGIN/CODE"), markCode);
    for (const auto &key : keys)
        settings.setValue(key.first, key.second);
    if (markers == Markers::Both)
        settings.setValue(QStringLiteral("ZRFILE_END/CODE"), markCode);
    settings.sync();
    if (settings.status() != QSettings::NoError)
        fail(QStringLiteral("cannot write INI file %1").arg(filePath));
    return *this;
}

PackageBuilder &PackageBuilder::sqlScript(const QString &stepName, const QString &script)
{
    return file(stepPath(stepName, QStringLiteral("sql/dbupdate.sql")), script.toUtf8());
}

PackageBuilder &PackageBuilder::database(const QString &relativePath, const QStringList &statements)
{
    const QString filePath = path(relativePath);
    if (!makeParent(filePath))
        return *this;
    ScopedConnection connection(filePath);
    QSqlDatabase db = connection.database();
    if (!db.isOpen()) {
        fail(QStringLiteral("cannot open database %1: %2").arg(filePath, db.lastError().text()));
        return *this;
    }
    QSqlQuery query(db);
    for (const QString &statement : statements) {
        if (!query.exec(statement)) {
            fail(QStringLiteral("%1: %2").arg(statement, query.lastError().text()));
            break;
        }
    }
    return *this;
}

PackageBuilder &PackageBuilder::link(const QString &relativePath, const QString &target)
{
    const QString linkPath = path(relativePath);
    if (makeParent(linkPath) && !QFile::link(target, linkPath))
        fail(QStringLiteral("cannot link %1 to %2").arg(linkPath, target));
    return *this;
}

QString PackageBuilder::commonPath(const QString &relativePath)
{
    return QStringLiteral("application/common/%1").arg(relativePath);
}

QString PackageBuilder::stepPath(const QString &stepName, const QString &relativePath)
{
    return QStringLiteral("application/%1/%2").arg(stepName, relativePath);
}

QStringList PackageBuilder::snapshot(const QString &root, const QStringList &ignored)
{
    const QDir base(root);
    QStringList rows;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        const QFileInfo info = it.fileInfo();
        const QString relative = base.relativeFilePath(info.filePath());
        const bool isIgnored = std::any_of(ignored.begin(), ignored.end(), [&](const QString &skip) {
            return relative == skip || relative.startsWith(skip + QLatin1Char('/'));
        });
        if (isIgnored)
            continue;
        if (info.isSymLink())
            rows << QStringLiteral("%1 -> %2").arg(relative, QFile::symLinkTarget(info.filePath()));
        else if (info.isDir())
            rows << relative + QLatin1Char('/');
        else
            rows << QStringLiteral("%1=%2").arg(relative, QString::fromUtf8(readFile(info.filePath())));
    }
    rows.sort();
    return rows;
}

QByteArray PackageBuilder::readFile(const QString &filePath)
{
    QFile file(filePath);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

QString PackageBuilder::linkText(const QString &path)
{
#ifdef Q_OS_WIN
    return QFile::symLinkTarget(path);
#else
    char buffer[4096];
    const ssize_t size = ::readlink(QFile::encodeName(path).constData(), buffer, sizeof buffer);
    return size < 0 ? QString() : QFile::decodeName(QByteArray(buffer, int(size)));
#endif
}

bool PackageBuilder::copyTree(const QString &source, const QString &target)
{
    if (!QDir().mkpath(target))
        return false;
    QDirIterator it(source, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString copy = target + QLatin1Char('/') + QDir(source).relativeFilePath(path);
        if (it.fileInfo().isDir() ? !QDir().mkpath(copy) : !QFile::copy(path, copy))
            return false;
    }
    return true;
}

QMap<QString, QString> PackageBuilder::iniValues(const QString &filePath)
{
    QMap<QString, QString> values;
    QSettings settings(filePath, QSettings::IniFormat);
    settings.setIniCodec("UTF-8");
    const QStringList keys = settings.allKeys();
    for (const QString &key : keys)
        values.insert(key, settings.value(key).toString());
    return values;
}

PackageBuilder &PackageBuilder::damagedDatabase(const QString &relativePath, const QStringList &statements)
{
    database(relativePath, QStringList(statements)
                               << QStringLiteral("CREATE TABLE filler (id INTEGER PRIMARY KEY, text TEXT)")
                               << QStringLiteral("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < "
                                                 "2000) INSERT INTO filler (text) SELECT 'filler row ' || i FROM n"));
    QFile file(path(relativePath));
    const qint64 pageSize = 4096;
    if (!ok() || !file.open(QIODevice::ReadWrite) || file.size() < 4 * pageSize) {
        fail(QStringLiteral("cannot damage %1").arg(relativePath));
        return *this;
    }
    // The cell pointer array of a leaf page starts 8 bytes into it.
    if (!file.seek(file.size() - pageSize + 8) || file.write(QByteArray(32, '\xff')) != 32)
        fail(QStringLiteral("cannot damage %1").arg(relativePath));
    return *this;
}

QStringList PackageBuilder::query(const QString &databasePath, const QString &sql)
{
    QStringList rows;
    if (!QFileInfo::exists(databasePath))
        return QStringList{QStringLiteral("ERROR: no database at %1").arg(databasePath)};
    ScopedConnection connection(databasePath);
    QSqlQuery query(connection.database());
    if (!query.exec(sql))
        return QStringList{QStringLiteral("ERROR: %1").arg(query.lastError().text())};
    while (query.next()) {
        QStringList columns;
        for (int i = 0; i < query.record().count(); ++i)
            columns << query.value(i).toString();
        rows << columns.join(QLatin1Char('|'));
    }
    return rows;
}

bool PackageBuilder::makeParent(const QString &filePath)
{
    const QString parent = QFileInfo(filePath).absolutePath();
    if (QDir().mkpath(parent))
        return true;
    fail(QStringLiteral("cannot create directory %1").arg(parent));
    return false;
}

void PackageBuilder::fail(const QString &what)
{
    if (m_error.isEmpty())
        m_error = what;
}
