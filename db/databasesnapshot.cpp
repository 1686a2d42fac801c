#include "db/databasesnapshot.h"

#include "log/applog.h"

#include <QAtomicInt>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace {

constexpr int kCopyAttempts = 3;

// What tells a file changed: its size and its change times (the data's and the inode's).
QString stampOf(const QString &path)
{
    const QFileInfo info(path);
    if (!info.exists())
        return QStringLiteral("-");
    return QStringLiteral("%1/%2/%3")
        .arg(info.size())
        .arg(info.lastModified().toMSecsSinceEpoch())
        .arg(info.metadataChangeTime().toMSecsSinceEpoch());
}

// SQLite's primary result codes for a damaged file (SQLITE_CORRUPT) and for one that is
// no database (SQLITE_NOTADB).
bool isDamage(const QSqlError &error)
{
    const int code = error.nativeErrorCode().toInt() & 0xff;
    return code == 11 || code == 26;
}

} // namespace

DatabaseSnapshot::DatabaseSnapshot(const QString &databasePath)
    : m_path(databasePath)
    , m_dir(QDir(QDir::tempPath()).filePath(QStringLiteral("corvane-db-XXXXXX")))
{
    if (!QFileInfo(databasePath).isFile()) {
        m_state = QFileInfo::exists(databasePath) ? State::Failed : State::Missing;
        if (m_state == State::Failed)
            m_error = QStringLiteral("not a file");
        return;
    }
    if (!m_dir.isValid()) {
        m_error = QStringLiteral("cannot create a temporary directory in %1: %2").arg(QDir::tempPath(), m_dir.errorString());
        return;
    }
    for (int attempt = 0; attempt < kCopyAttempts; ++attempt) {
        if (copyOnce()) {
            m_state = State::Taken;
            m_error.clear();
            return;
        }
    }
}

DatabaseSnapshot::~DatabaseSnapshot() = default;

QStringList DatabaseSnapshot::journalSuffixes()
{
    return {QStringLiteral("-wal"), QStringLiteral("-journal")};
}

QString DatabaseSnapshot::filePath() const
{
    return m_state == State::Taken ? m_dir.filePath(QFileInfo(m_path).fileName()) : QString();
}

bool DatabaseSnapshot::copyOnce()
{
    QStringList sources{m_path};
    for (const QString &suffix : journalSuffixes())
        sources.append(m_path + suffix);
    QStringList before;
    for (const QString &source : qAsConst(sources))
        before.append(stampOf(source));

    const QString name = QFileInfo(m_path).fileName();
    for (int i = 0; i < sources.size(); ++i) {
        const QString target = m_dir.filePath(i == 0 ? name : name + journalSuffixes().at(i - 1));
        QFile::remove(target);
        QFile source(sources.at(i));
        if (i > 0 && !source.exists())
            continue;
        if (!source.copy(target)) {
            m_error = QStringLiteral("cannot copy %1: %2").arg(sources.at(i), source.errorString());
            return false;
        }
        // The copy is ours to open for writing: SQLite applies the journal on opening.
        QFile(target).setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    }
    // Another program that wrote meanwhile may have left a copy of half a change.
    for (int i = 0; i < sources.size(); ++i) {
        if (stampOf(sources.at(i)) != before.at(i)) {
            m_error = QStringLiteral("%1 changed while it was copied (is the application running?)").arg(sources.at(i));
            return false;
        }
    }
    return true;
}

DatabaseSnapshot::Health DatabaseSnapshot::quickCheckOn(QSqlDatabase &db, int maxLines, QStringList *problems,
                                                        QString *error)
{
    problems->clear();
    Health health = Health::Unknown;
    QSqlQuery query(db);
    query.setForwardOnly(true);
    if (!query.exec(QStringLiteral("PRAGMA quick_check"))) {
        *error = query.lastError().text();
        health = isDamage(query.lastError()) ? Health::Damaged : Health::Unknown;
    } else {
        // One row may hold many lines, under a heading per database.
        QStringList lines;
        while (query.next()) {
            const QStringList rowLines = query.value(0).toString().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
            for (const QString &line : rowLines) {
                if (!line.startsWith(QLatin1String("***")))
                    lines.append(line);
            }
        }
        if (query.lastError().isValid()) {
            *error = query.lastError().text();
            health = isDamage(query.lastError()) ? Health::Damaged : Health::Unknown;
        } else {
            health = lines == QStringList{QStringLiteral("ok")} ? Health::Sound : Health::Damaged;
        }
        *problems = lines.mid(0, maxLines);
        if (lines.size() > maxLines)
            problems->append(QStringLiteral("... (%1 lines)").arg(lines.size()));
    }
    query.finish();
    if (health == Health::Damaged && problems->isEmpty())
        problems->append(*error);
    return health;
}

DatabaseSnapshot::Health DatabaseSnapshot::quickCheck(int maxLines)
{
    m_problems.clear();
    if (m_state != State::Taken)
        return Health::Unknown;
    static QAtomicInt counter;
    const QString connection = QStringLiteral("corvane-snapshot-%1").arg(counter.fetchAndAddRelaxed(1));
    Health health = Health::Unknown;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection);
        db.setDatabaseName(filePath());
        if (!db.open()) {
            m_error = db.lastError().text();
            health = isDamage(db.lastError()) ? Health::Damaged : Health::Unknown;
        } else {
            health = quickCheckOn(db, maxLines, &m_problems, &m_error);
            db.close();
        }
    }
    QSqlDatabase::removeDatabase(connection);
    if (health == Health::Damaged && m_problems.isEmpty())
        m_problems.append(m_error);
    ZR_LOG_DEBUG("DatabaseSnapshot::Health DatabaseSnapshot::quickCheck(int)")
        << "quick_check" << m_path << int(health) << m_problems;
    return health;
}
