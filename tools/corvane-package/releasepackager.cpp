#include "tools/corvane-package/releasepackager.h"

#include "package/packagemanifest.h"
#include "package/removallist.h"
#include "package/sha256stream.h"
#include "db/trialdatabase.h"
#include "config/configbase.h"
#include "db/zrsqlparser.h"
#include "layout/installlayout.h"
#include "layout/versionorder.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSet>

#include <memory>

namespace {

QString join(const QString &relative, const QString &name)
{
    return relative.isEmpty() ? name : QStringLiteral("%1/%2").arg(relative, name);
}

// Every entry of a directory, hidden ones included, by name.
QStringList entriesOf(const QString &dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

bool sameBytes(const QString &a, const QString &b)
{
    QFile first(a);
    QFile second(b);
    if (first.size() != second.size() || !first.open(QIODevice::ReadOnly) || !second.open(QIODevice::ReadOnly))
        return false;
    while (!first.atEnd()) {
        const QByteArray x = first.read(1 << 20);
        if (x != second.read(1 << 20))
            return false;
        if (x.isEmpty())
            return first.atEnd();
    }
    return true;
}

// Two trees with the same entries and bytes (links compared by target).
bool sameTree(const QString &a, const QString &b)
{
    const QStringList names = entriesOf(a);
    if (names != entriesOf(b))
        return false;
    for (const QString &name : names) {
        const QFileInfo x(QDir(a).filePath(name));
        const QFileInfo y(QDir(b).filePath(name));
        if (x.isSymLink() || y.isSymLink()) {
            if (x.symLinkTarget() != y.symLinkTarget() || x.isSymLink() != y.isSymLink())
                return false;
        } else if (x.isDir() != y.isDir()) {
            return false;
        } else if (x.isDir() ? !sameTree(x.filePath(), y.filePath()) : !sameBytes(x.filePath(), y.filePath())) {
            return false;
        }
    }
    return true;
}

// The parser of the update with the column test answered by a trial copy of the
// oldest release's database, or, without one, "absent" for every column: the script's
// form is checked and every guarded statement kept.
class PackagerSqlParser : public ZRSqlParser
{
public:
    explicit PackagerSqlParser(TrialDatabase *database)
        : m_database(database)
    {
    }

protected:
    int columnExists(const QString &table, const QString &column) override
    {
        return m_database ? m_database->isColumnExists(table, column) : 0;
    }

private:
    TrialDatabase *m_database;
};

// The path with every link resolved, also for one that does not exist yet: its nearest
// existing ancestor resolved, the rest appended.
QString resolvedPath(const QString &path)
{
    QString current = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    QStringList rest;
    for (int hops = 0; hops < 64; ++hops) {
        const QFileInfo info(current);
        if (info.exists())
            break;
        if (info.isSymLink()) { // dangling: where it leads counts
            current = QDir::cleanPath(QDir(info.absolutePath()).absoluteFilePath(info.symLinkTarget()));
            continue;
        }
        const QString parent = info.absolutePath();
        if (parent == current)
            break;
        rest.prepend(info.fileName());
        current = parent;
    }
    const QString canonical = QFileInfo(current).canonicalFilePath();
    rest.prepend(canonical.isEmpty() ? current : canonical);
    return QDir::cleanPath(rest.join(QLatin1Char('/')));
}

// inner is outer or lies below it (both resolved).
bool isWithin(const QString &inner, const QString &outer)
{
#ifdef Q_OS_WIN
    const Qt::CaseSensitivity cs = Qt::CaseInsensitive;
#else
    const Qt::CaseSensitivity cs = Qt::CaseSensitive;
#endif
    const QString prefix = outer.endsWith(QLatin1Char('/')) ? outer : outer + QLatin1Char('/');
    return inner.compare(outer, cs) == 0 || inner.startsWith(prefix, cs);
}

// Every path below a directory, relative to it, links not followed.
QStringList pathsBelow(const QString &dir)
{
    QStringList paths;
    QDirIterator it(dir, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext())
        paths.append(QDir(dir).relativeFilePath(it.next()));
    return paths;
}

} // namespace

ReleasePackager::ReleasePackager() = default;

void ReleasePackager::addRelease(const QString &version, const QString &dir)
{
    m_given.append({version, dir});
}

void ReleasePackager::setScript(const QString &version, const QString &file)
{
    m_scripts.insert(version, file);
}

void ReleasePackager::setUpdaterDir(const QString &dir)
{
    m_updaterDir = dir;
}

void ReleasePackager::setOutputDir(const QString &dir)
{
    m_outputDir = dir;
}

bool ReleasePackager::fail(const QString &error)
{
    m_error = error;
    return false;
}

void ReleasePackager::loss(const QString &label, const QString &text)
{
    m_losses.append(QStringLiteral("%1: %2").arg(label, text));
}

bool ReleasePackager::isReserved(const QString &path) const
{
    // The updater's own rule: what it never backs up it never applies either.
    return InstallLayout::isReserved(path);
}

bool ReleasePackager::checkOutputPlace()
{
    // A package written into its own input copies itself, and the next build reads that.
    const QString out = resolvedPath(m_outputDir);
    QList<QPair<QString, QString>> inputs;
    for (auto it = m_releases.cbegin(); it != m_releases.cend(); ++it)
        inputs.append({QStringLiteral("the release tree %1.%2 (%3)").arg(m_major).arg(it.key()).arg(it.value()), it.value()});
    inputs.append({QStringLiteral("the --updater folder %1").arg(m_updaterDir), m_updaterDir});
    for (const auto &input : qAsConst(inputs)) {
        const QString resolved = resolvedPath(input.second);
        if (isWithin(out, resolved))
            return fail(QStringLiteral("--out %1 lies inside %2: the package would copy itself; choose a directory "
                                       "outside every input")
                            .arg(m_outputDir, input.first));
        if (isWithin(resolved, out))
            return fail(QStringLiteral("--out %1 holds %2: the package would copy itself; choose a directory outside "
                                       "every input")
                            .arg(m_outputDir, input.first));
    }
    return true;
}

bool ReleasePackager::checkLetterCase()
{
    // What Windows would keep as one file: the manifest refuses such a package at
    // signing, after the whole build.
    QList<QPair<QString, QString>> trees;
    for (auto it = m_releases.cbegin(); it != m_releases.cend(); ++it)
        trees.append({QStringLiteral("release %1.%2").arg(m_major).arg(it.key()), it.value()});
    trees.append({QStringLiteral("the --updater folder"), m_updaterDir});
    for (const auto &tree : qAsConst(trees)) {
        const QString clash = InstallLayout::firstCaseClash(pathsBelow(tree.second));
        if (!clash.isEmpty())
            return fail(QStringLiteral("%1: %2 differs from another path only in letter case, and Windows keeps one "
                                       "file for both")
                            .arg(tree.first, clash));
    }
    return true;
}

bool ReleasePackager::checkInput()
{
    if (m_given.size() < 2)
        return fail(QStringLiteral("a package needs at least two releases (--release VERSION=DIR, twice)"));
    for (const auto &release : qAsConst(m_given)) {
        int major = 0;
        int minor = 0;
        if (!VersionOrder::parseRelease(release.first, &major, &minor))
            return fail(QStringLiteral("\"%1\" is not a release version of the form major.minor, e.g. 3.4").arg(release.first));
        if (m_major >= 0 && major != m_major)
            return fail(QStringLiteral("releases %1 and %2.x: a package never crosses a major version")
                            .arg(release.first).arg(m_major));
        m_major = major;
        if (m_releases.contains(minor))
            return fail(QStringLiteral("release %1 is given twice").arg(release.first));
        if (!QFileInfo(release.second).isDir())
            return fail(QStringLiteral("release %1: %2 is not a directory").arg(release.first, release.second));
        m_releases.insert(minor, QFileInfo(release.second).absoluteFilePath());
    }
    const QList<int> minors = m_releases.keys();
    for (int i = 1; i < minors.size(); ++i) {
        if (minors.at(i) != minors.at(i - 1) + 1)
            return fail(QStringLiteral("releases %1.%2 and %1.%3 are not consecutive: give every release in between")
                            .arg(m_major)
                            .arg(minors.at(i - 1))
                            .arg(minors.at(i)));
    }
    for (auto it = m_scripts.cbegin(); it != m_scripts.cend(); ++it) {
        int major = 0;
        int minor = 0;
        if (!VersionOrder::parseRelease(it.key(), &major, &minor) || major != m_major || minor == minors.first()
            || !m_releases.contains(minor))
            return fail(QStringLiteral("--sql %1: a script belongs to the step that ends at one of the releases "
                                       "after the first")
                            .arg(it.key()));
        if (!QFileInfo(it.value()).isFile())
            return fail(QStringLiteral("--sql %1: %2 is not a file").arg(it.key(), it.value()));
    }
    if (m_updaterDir.isEmpty() || !QFileInfo(m_updaterDir).isDir())
        return fail(QStringLiteral("--updater must name the folder that \"cmake --install\" laid out"));
    if (!QFileInfo(QDir(m_updaterDir).filePath(QStringLiteral("string.bin"))).isFile())
        return fail(QStringLiteral("the updater folder %1 holds no string.bin").arg(m_updaterDir));
    if (m_outputDir.isEmpty())
        return fail(QStringLiteral("--out names the package directory to write"));
    if (!checkOutputPlace())
        return false;
    if (QFileInfo::exists(m_outputDir) && !entriesOf(m_outputDir).isEmpty())
        return fail(QStringLiteral("%1 exists and is not empty").arg(m_outputDir));
    return checkLetterCase();
}

bool ReleasePackager::copyFile(const QString &source, const QString &target)
{
    if (!QDir().mkpath(QFileInfo(target).absolutePath()))
        return fail(QStringLiteral("cannot create %1").arg(QFileInfo(target).absolutePath()));
    QFile::remove(target);
    QFile file(source);
    if (!file.copy(target))
        return fail(QStringLiteral("cannot copy %1 to %2: %3").arg(source, target, file.errorString()));
    return true;
}

bool ReleasePackager::copyUpdater()
{
    // The updater's folder as installed: programs, string.bin, plug-ins. What the package
    // writes itself, and an old log, are not taken from it.
    const QStringList skipped = {QStringLiteral("version.ini"), QStringLiteral("application"), QStringLiteral("log"),
                                 QLatin1String(PackageManifest::kFileName),
                                 QLatin1String(PackageManifest::kSignatureName)};
    std::function<bool(const QString &)> copyDir = [&](const QString &relative) {
        const QString source = QDir(m_updaterDir).filePath(relative);
        for (const QString &name : entriesOf(source)) {
            const QString path = join(relative, name);
            if (relative.isEmpty() && skipped.contains(name))
                continue;
            const QFileInfo info(QDir(m_updaterDir).filePath(path));
            if (info.isDir() && !info.isSymLink()) {
                if (!QDir().mkpath(QDir(m_outputDir).filePath(path)) || !copyDir(path))
                    return false;
            } else if (!copyFile(info.filePath(), QDir(m_outputDir).filePath(path))) {
                return false;
            }
        }
        return true;
    };
    return copyDir(QString());
}

bool ReleasePackager::writeVersionFile()
{
    const QString path = QDir(m_outputDir).filePath(QStringLiteral("version.ini"));
    {
        ConfigBase file(path);
        file.setValue(QStringLiteral("RELEASE/VERSION"), QStringLiteral("%1.%2").arg(m_major).arg(m_releases.lastKey()));
        if (!file.save())
            return fail(QStringLiteral("cannot write %1").arg(path));
    }
    // The first save leaves the created file's former state beside it.
    QFile::remove(path + QStringLiteral(".bak"));
    if (!ConfigBase(path, ConfigBase::Access::ReadOnly).isValid())
        return fail(QStringLiteral("cannot write %1").arg(path));
    return true;
}

bool ReleasePackager::diffIni(const QString &oldFile, const QString &newFile, const QString &target,
                              const QString &relative, const QString &label, StepCounts *counts)
{
    ConfigBase older(oldFile, ConfigBase::Access::ReadOnly);
    ConfigBase newer(newFile, ConfigBase::Access::ReadOnly);
    if (!older.isReadable() || !newer.isReadable())
        return fail(QStringLiteral("cannot read %1 or %2").arg(oldFile, newFile));
    if (!newer.isValid())
        loss(label, QStringLiteral("%1 lacks the ZRFILE_BEGIN/ZRFILE_END markers; its changed keys are delivered "
                                   "in a marked file")
                        .arg(relative));
    QList<QPair<QString, QVariant>> changed;
    const QStringList newKeys = newer.allKeys();
    const QSet<QString> newKeySet(newKeys.cbegin(), newKeys.cend());
    const QStringList oldKeys = older.allKeys();
    const QSet<QString> oldKeySet(oldKeys.cbegin(), oldKeys.cend());
    for (const QString &key : newKeys) {
        if (ConfigBase::isMarkerKey(key))
            continue;
        const QVariant value = newer.value(key);
        if (!oldKeySet.contains(key) || older.value(key) != value)
            changed.append({key, value});
    }
    for (const QString &key : oldKeys) {
        if (!ConfigBase::isMarkerKey(key) && !newKeySet.contains(key))
            loss(label, QStringLiteral("%1: the key %2 was removed; the update keeps it in every installation")
                            .arg(relative, key));
    }
    if (changed.isEmpty())
        return true;
    if (!QDir().mkpath(QFileInfo(target).absolutePath()))
        return fail(QStringLiteral("cannot create %1").arg(QFileInfo(target).absolutePath()));
    {
        ConfigBase file(target);
        for (const auto &key : qAsConst(changed))
            file.setValue(key.first, key.second);
        if (!file.save())
            return fail(QStringLiteral("cannot write %1").arg(target));
    }
    // The updater would copy a ".bak" in config/ over the installation's own.
    QFile::remove(target + QStringLiteral(".bak"));
    ++counts->configMerged;
    counts->keys += changed.size();
    return true;
}

bool ReleasePackager::diffConfig(const QString &oldRoot, const QString &newRoot, const QString &stepDir,
                                 const QString &label, StepCounts *counts)
{
    // The updater handles the direct files of a step's config/ only: INI files merged,
    // others replaced.
    const QString oldConfig = QDir(oldRoot).filePath(QStringLiteral("config"));
    const QString newConfig = QDir(newRoot).filePath(QStringLiteral("config"));
    for (const QString &name : entriesOf(newConfig)) {
        const QString relative = QStringLiteral("config/%1").arg(name);
        const QFileInfo newer(QDir(newConfig).filePath(name));
        const QFileInfo older(QDir(oldConfig).filePath(name));
        if (isReserved(relative)) {
            if (!older.exists() || !sameBytes(older.filePath(), newer.filePath()))
                loss(label, QStringLiteral("%1 is a reserved name the updater never backs up; not delivered").arg(relative));
            continue;
        }
        if (name.startsWith(QLatin1Char('.'))) {
            if (!older.exists() || !sameBytes(older.filePath(), newer.filePath()))
                loss(label, QStringLiteral("%1 is hidden, and the updater copies no hidden file; not delivered").arg(relative));
            continue;
        }
        if (newer.isSymLink()) {
            loss(label, QStringLiteral("%1 is a symbolic link; a package holds files only; not delivered").arg(relative));
            continue;
        }
        if (newer.isDir()) {
            if (!older.isDir() || !sameTree(older.filePath(), newer.filePath()))
                loss(label, QStringLiteral("%1 is a directory in config/, which the updater cannot update; not delivered")
                                .arg(relative));
            continue;
        }
        if (older.isDir()) {
            loss(label, QStringLiteral("%1 was a directory and is a file now; not delivered").arg(relative));
            continue;
        }
        const QString target = QDir(stepDir).filePath(relative);
        if (older.exists() && ConfigBase::isIniFile(name)) {
            if (!diffIni(older.filePath(), newer.filePath(), target, relative, label, counts))
                return false;
            continue;
        }
        if (older.exists() && sameBytes(older.filePath(), newer.filePath()))
            continue;
        if (!older.exists() && ConfigBase::isIniFile(name) && !ConfigBase(newer.filePath(), ConfigBase::Access::ReadOnly).isValid())
            loss(label, QStringLiteral("%1 lacks the ZRFILE_BEGIN/ZRFILE_END markers; the application's next opening "
                                       "treats it as damaged")
                            .arg(relative));
        if (!copyFile(newer.filePath(), target))
            return false;
        ++counts->configWhole;
    }
    return true;
}

bool ReleasePackager::diffTree(const QString &oldRoot, const QString &newRoot, const QString &relative,
                               const QString &stepDir, const QString &label, StepCounts *counts)
{
    const QString newDir = QDir(newRoot).filePath(relative);
    for (const QString &name : entriesOf(newDir)) {
        const QString path = join(relative, name);
        const QFileInfo newer(QDir(newRoot).filePath(path));
        const QFileInfo older(QDir(oldRoot).filePath(path));
        const QString target = QDir(stepDir).filePath(QStringLiteral("common/%1").arg(path));
        const auto unchanged = [&] {
            if (!older.exists() && !older.isSymLink())
                return false;
            if (older.isSymLink() || newer.isSymLink())
                return older.isSymLink() == newer.isSymLink() && older.symLinkTarget() == newer.symLinkTarget();
            return older.isDir() == newer.isDir()
                && (newer.isDir() ? sameTree(older.filePath(), newer.filePath())
                                  : sameBytes(older.filePath(), newer.filePath()));
        };
        if (relative.isEmpty() && name == QLatin1String("config") && newer.isDir() && !newer.isSymLink()) {
            if (older.exists() && !older.isDir())
                loss(label, QStringLiteral("config was a file and is a directory now; not delivered"));
            else if (!diffConfig(oldRoot, newRoot, stepDir, label, counts))
                return false;
            continue;
        }
        if (isReserved(path)) {
            if (!unchanged())
                loss(label, QStringLiteral("%1 is a reserved name the updater never backs up; not delivered").arg(path));
            continue;
        }
        if (relative.isEmpty() && name == QLatin1String("kqdata.db")) {
            if (!unchanged())
                loss(label, QStringLiteral("kqdata.db differs; the database changes only through the step's SQL "
                                           "script (--sql); not delivered"));
            continue;
        }
        if (name.startsWith(QLatin1Char('.'))) {
            if (!unchanged())
                loss(label, QStringLiteral("%1 is hidden, and the updater copies no hidden file; not delivered").arg(path));
            continue;
        }
        if (newer.isSymLink()) {
            if (!unchanged())
                loss(label, QStringLiteral("%1 is a symbolic link; a package holds files only; not delivered").arg(path));
            continue;
        }
        if (newer.isDir()) {
            if (older.exists() && !older.isDir()) {
                loss(label, QStringLiteral("%1 was a file and is a directory now; not delivered").arg(path));
                continue;
            }
            // A directory new in this release arrives even when it is empty.
            if (!older.exists() && !QDir().mkpath(target))
                return fail(QStringLiteral("cannot create %1").arg(target));
            if (!diffTree(oldRoot, newRoot, path, stepDir, label, counts))
                return false;
            continue;
        }
        if (older.isDir()) {
            loss(label, QStringLiteral("%1 was a directory and is a file now; not delivered").arg(path));
            continue;
        }
        if (older.exists() && sameBytes(older.filePath(), newer.filePath()))
            continue;
        if (!copyFile(newer.filePath(), target))
            return false;
        ++counts->common;
    }
    return true;
}

bool ReleasePackager::listDeleted(const QString &oldRoot, const QString &newRoot, const QString &relative,
                                  const QString &label, RemovalList *removals)
{
    for (const QString &name : entriesOf(QDir(oldRoot).filePath(relative))) {
        const QString path = join(relative, name);
        const QFileInfo older(QDir(oldRoot).filePath(path));
        const QFileInfo newer(QDir(newRoot).filePath(path));
        const bool olderIsDir = older.isDir() && !older.isSymLink();
        if (newer.exists() || newer.isSymLink()) {
            if (olderIsDir && newer.isDir() && !newer.isSymLink() && !listDeleted(oldRoot, newRoot, path, label, removals))
                return false;
            continue;
        }
        // Reserved names keep their own rules, and what is below config/ is the user's
        // settings: neither is ever removed.
        if (isReserved(path))
            continue;
        QString why;
        if (relative.isEmpty() && name == QLatin1String("config")) {
            loss(label, QStringLiteral("config was deleted; the updater never removes config/, so installations keep it"));
            continue;
        }
        if (older.isSymLink()) {
            loss(label, QStringLiteral("%1 was deleted; it is a symbolic link, and the removal list names files and "
                                       "directories only, so installations keep it")
                            .arg(path));
            continue;
        }
        if (!RemovalList::isRemovablePath(path, &why)) {
            loss(label, QStringLiteral("%1 was deleted; it cannot be removed (%2), so installations keep it").arg(path, why));
            continue;
        }
        if (olderIsDir) {
            // Everything below goes first; the directory itself once it is empty.
            if (!listDeleted(oldRoot, newRoot, path, label, removals))
                return false;
            removals->addDirectory(path);
            continue;
        }
        if (!older.isFile()) {
            loss(label, QStringLiteral("%1 was deleted; it is not a regular file, so installations keep it").arg(path));
            continue;
        }
        QByteArray digest;
        qint64 size = 0;
        QString error;
        if (!Sha256Stream::hashFile(older.filePath(), &digest, &size, &error))
            return fail(QStringLiteral("cannot read %1: %2").arg(older.filePath(), error));
        removals->addFile(path, size, digest);
    }
    return true;
}

bool ReleasePackager::writeRemovals(const RemovalList &removals, const QString &target)
{
    QSaveFile file(target);
    const QByteArray text = removals.toText();
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.commit())
        return fail(QStringLiteral("cannot write %1: %2").arg(target, file.errorString()));
    // What the updater would refuse must not leave the build.
    RemovalList written;
    if (!written.read(target))
        return fail(QStringLiteral("%1 is malformed: %2").arg(target, written.errorString()));
    return true;
}

bool ReleasePackager::checkScripts()
{
    const QString oldestDatabase = QDir(m_releases.first()).filePath(QStringLiteral("kqdata.db"));
    std::unique_ptr<TrialDatabase> database;
    if (!m_scripts.isEmpty() && QFileInfo(oldestDatabase).isFile()) {
        database = std::make_unique<TrialDatabase>(oldestDatabase);
        if (!database->canRun())
            return fail(QStringLiteral("%1 cannot be read to try the scripts on: %2").arg(oldestDatabase, database->errorString()));
    }
    const QList<int> minors = m_releases.keys();
    for (int i = 1; i < minors.size(); ++i) {
        const QString version = QStringLiteral("%1.%2").arg(m_major).arg(minors.at(i));
        if (!m_scripts.contains(version))
            continue;
        const QString script = m_scripts.value(version);
        // Run as the updater runs it, statement by statement as it is read: a directive
        // sees what the statements before it did.
        PackagerSqlParser parser(database.get());
        parser.setStatementLog(false);
        int count = 0;
        int failed = -1;
        QString error;
        bool began = !database || database->begin(&error);
        const bool parsed = parser.parseSqlFile(script, [&](const QString &statement) {
            ++count;
            if (database && began && !database->execStatement(statement, &error)) {
                failed = count;
                return false;
            }
            return true;
        });
        if (database && began)
            began = database->finish(parsed && failed < 0, &error);
        if (!parsed && failed < 0)
            return fail(QStringLiteral("--sql %1: the updater's parser refuses %2 (a malformed IFN_COL directive?)")
                            .arg(version, script));
        if (database && !began)
            return fail(QStringLiteral("--sql %1: on a copy of %2 (with the earlier steps' scripts run), statement "
                                       "%3 fails: %4")
                            .arg(version, oldestDatabase)
                            .arg(failed < 0 ? count : failed)
                            .arg(error));
        const QString step = QStringLiteral("%1_%2_to_%1_%3").arg(m_major).arg(minors.at(i - 1)).arg(minors.at(i));
        m_summary.append(QStringLiteral("%1: sql/dbupdate.sql, %2 statements%3")
                             .arg(step)
                             .arg(count)
                             .arg(database ? QStringLiteral(", tried on a copy of the oldest release's kqdata.db")
                                           : QStringLiteral(" (no kqdata.db in the oldest release to try them on)")));
    }
    return true;
}

bool ReleasePackager::build()
{
    m_losses.clear();
    m_summary.clear();
    m_error.clear();
    if (!checkInput())
        return false;
    // A script the update would fail on stops the build before anything is written.
    if (m_progress && !m_scripts.isEmpty())
        m_progress(QStringLiteral("checking the SQL scripts"));
    if (!checkScripts())
        return false;
    if (!QDir().mkpath(m_outputDir))
        return fail(QStringLiteral("cannot create %1").arg(m_outputDir));
    if (m_progress)
        m_progress(QStringLiteral("copying the updater from %1").arg(m_updaterDir));
    if (!copyUpdater() || !writeVersionFile())
        return false;
    const QString application = QDir(m_outputDir).filePath(QStringLiteral("application"));
    if (!QDir().mkpath(QDir(application).filePath(QStringLiteral("common"))))
        return fail(QStringLiteral("cannot create %1/common").arg(application));

    const QList<int> minors = m_releases.keys();
    for (int i = 1; i < minors.size(); ++i) {
        const QString step = QStringLiteral("%1_%2_to_%1_%3").arg(m_major).arg(minors.at(i - 1)).arg(minors.at(i));
        const QString label = QStringLiteral("%1.%2 -> %1.%3").arg(m_major).arg(minors.at(i - 1)).arg(minors.at(i));
        if (m_progress)
            m_progress(QStringLiteral("step %1: comparing %2 with %3").arg(step, m_releases.value(minors.at(i - 1)),
                                                                          m_releases.value(minors.at(i))));
        // Every step directory must exist, even one that changes nothing.
        const QString stepDir = QDir(application).filePath(step);
        if (!QDir().mkpath(stepDir))
            return fail(QStringLiteral("cannot create %1").arg(stepDir));
        StepCounts counts;
        const QString oldRoot = m_releases.value(minors.at(i - 1));
        const QString newRoot = m_releases.value(minors.at(i));
        if (!diffTree(oldRoot, newRoot, QString(), stepDir, label, &counts))
            return false;
        const QString script = m_scripts.value(QStringLiteral("%1.%2").arg(m_major).arg(minors.at(i)));
        if (!script.isEmpty() && !copyFile(script, QDir(stepDir).filePath(QStringLiteral("sql/dbupdate.sql"))))
            return false;
        // Deleted files and directories go to the step's removal list, with each file's
        // size and SHA-256 as the older release shipped it.
        RemovalList removals;
        if (!listDeleted(oldRoot, newRoot, QString(), label, &removals))
            return false;
        if (!removals.isEmpty() && !writeRemovals(removals, QDir(stepDir).filePath(QLatin1String(RemovalList::kFileName))))
            return false;
        m_summary.append(QStringLiteral("%1: %2 files in common/, %3 config files copied whole, %4 INI files with %5 "
                                        "changed keys, %6 paths to remove")
                             .arg(step)
                             .arg(counts.common)
                             .arg(counts.configWhole)
                             .arg(counts.configMerged)
                             .arg(counts.keys)
                             .arg(removals.entries().size()));
    }
    return true;
}
