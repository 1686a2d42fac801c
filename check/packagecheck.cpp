#include "check/packagecheck.h"

#include "check/scriptcheck.h"
#include "config/configbase.h"
#include "context/consoletext.h"
#include "context/zrpubmethod.h"
#include "db/databasesnapshot.h"
#include "db/dbcontrol.h"
#include "db/trialdatabase.h"
#include "fileutil/recursionguard.h"
#include "fileutil/treewalker.h"
#include "layout/installlayout.h"
#include "layout/versionorder.h"
#include "log/logmessagehandler.h"
#include "package/packagemanifest.h"
#include "package/removallist.h"
#include "package/trustedkeys.h"
#include "platform/fileinuse.h"
#include "platform/registrystore.h"
#include "steps/formalupdateo.h"
#include "steps/stepplan.h"
#include "steps/stepremovals.h"
#include "updater/cvupdater.h"
#include "updater/updateflag.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QStandardPaths>
#include <QStorageInfo>

#include <algorithm>

#ifndef Q_OS_WIN
#include <sys/stat.h>
#endif

namespace {

QStringList contentKeys(ConfigBase &file)
{
    QStringList keys = file.allKeys();
    keys.erase(std::remove_if(keys.begin(), keys.end(), &ConfigBase::isMarkerKey), keys.end());
    return keys;
}

QString humanSize(qint64 bytes)
{
    if (bytes < 1024 * 1024)
        return QStringLiteral("%1 KB").arg((bytes + 1023) / 1024);
    if (bytes < qint64(1024) * 1024 * 1024)
        return QStringLiteral("%1 MB").arg(double(bytes) / (1024 * 1024), 0, 'f', 1);
    return QStringLiteral("%1 GB").arg(double(bytes) / (1024 * 1024 * 1024), 0, 'f', 1);
}

// The bytes of the files below a directory, links to directories not followed; with
// skipReserved, those the backup copies (atTop: the directory is the tree's top).
qint64 treeSize(const QString &dirPath, bool skipReserved, bool atTop = true)
{
    qint64 total = 0;
    const QFileInfoList entries =
        QDir(dirPath).entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QFileInfo &entry : entries) {
        if (skipReserved && InstallLayout::isReservedName(entry.fileName(), atTop))
            continue;
        if (entry.isDir() && !entry.isSymLink())
            total += treeSize(entry.filePath(), skipReserved, false);
        else if (entry.isFile())
            total += entry.size();
    }
    return total;
}

// Why the copy leaves an entry out, as the check says it.
QString leftOutKind(const QFileInfo &entry)
{
    if (entry.fileName().startsWith(QLatin1Char('.')))
        return ConsoleText::tr("hidden");
    if (entry.isSymLink())
        return ConsoleText::tr("a dangling link");
#ifndef Q_OS_WIN
    struct stat status;
    if (::lstat(QFile::encodeName(entry.filePath()).constData(), &status) == 0) {
        if (S_ISFIFO(status.st_mode))
            return ConsoleText::tr("a FIFO");
        if (S_ISSOCK(status.st_mode))
            return ConsoleText::tr("a socket");
        if (S_ISCHR(status.st_mode) || S_ISBLK(status.st_mode))
            return ConsoleText::tr("a device file");
    }
#endif
    return ConsoleText::tr("a system file");
}

#ifndef Q_OS_WIN
// Whether QSettings can write a file: it writes a temporary file beside it and renames
// it over the file, creating missing directories on the way. (The registry on Windows
// has no file to ask.)
bool canWriteFile(const QString &filePath)
{
    const QFileInfo file(filePath);
    QString dirPath = file.absolutePath();
    while (!QFileInfo::exists(dirPath)) {
        const QString parent = QFileInfo(dirPath).absolutePath();
        if (parent == dirPath)
            break;
        dirPath = parent;
    }
    const QFileInfo dir(dirPath);
    return dir.isDir() && dir.isWritable() && (!file.exists() || file.isWritable());
}
#endif

} // namespace

PackageCheck::PackageCheck(const QString &packageDir)
    : m_packageDir(packageDir)
{
}

PackageCheck::~PackageCheck() = default;

void PackageCheck::setFindingListener(std::function<void(const Finding &)> listener)
{
    m_listener = std::move(listener);
}

void PackageCheck::setMode(Mode mode)
{
    m_trialRun = mode == Mode::DryRun;
    m_judgeFlag = mode == Mode::DryRun;
}

qint64 PackageCheck::spareSpace(qint64 databaseSize)
{
    return qMax<qint64>(0, databaseSize) + 1024 * 1024;
}

int PackageCheck::problemCount() const
{
    int count = 0;
    for (const Finding &finding : m_findings)
        count += finding.severity == Severity::Problem ? 1 : 0;
    return count;
}

void PackageCheck::add(Severity severity, const QString &text)
{
    m_findings.append({severity, text});
    if (m_listener)
        m_listener(m_findings.constLast());
}

void PackageCheck::ok(const QString &text)
{
    add(Severity::Ok, text);
}

void PackageCheck::note(const QString &text)
{
    add(Severity::Note, text);
}

void PackageCheck::problem(const QString &text)
{
    add(Severity::Problem, text);
}

QString PackageCheck::packagePath(const QString &relative) const
{
    return QStringLiteral("%1/%2").arg(m_packageDir, relative);
}

QString PackageCheck::installPath(const QString &relative) const
{
    return QStringLiteral("%1/%2").arg(m_installDir, relative);
}

bool PackageCheck::checkVersionFile()
{
    const QString path = packagePath(QStringLiteral("version.ini"));
    ConfigBase file(path, ConfigBase::Access::ReadOnly);
    if (file.isValid()) {
        const QString version = file.value(QStringLiteral("RELEASE/VERSION"), QString()).toString();
        if (version.isEmpty())
            problem(ConsoleText::tr("version.ini: no RELEASE/VERSION, so the update would be refused"));
        else
            ok(ConsoleText::tr("version.ini: package version %1").arg(version));
        return true;
    }
    ConfigBase backup(path + QStringLiteral(".bak"), ConfigBase::Access::ReadOnly);
    if (backup.isValid()) {
        problem(ConsoleText::tr("version.ini: not a valid marked file; the updater would replace it with "
                               "version.ini.bak (package version %1)")
                    .arg(backup.value(QStringLiteral("RELEASE/VERSION"), QString()).toString()));
    } else {
        problem(ConsoleText::tr("version.ini: not a valid marked file (ZRFILE_BEGIN/CODE and ZRFILE_END/CODE "
                               "must both be \"tarnwoven\"); the updater would re-create it without a version "
                               "and refuse the update"));
    }
    return false;
}

bool PackageCheck::run(CVUpdater *updater)
{
    m_updater = updater;
    m_installDir = updater->getInstallPath();
    const QString oldVersion = updater->getOldVersion();
    const QString newVersion = updater->getNewVersion();

    ok(ConsoleText::tr("installation %1, version %2 (uninstall key %3)").arg(m_installDir, oldVersion, updater->getRegKey()));
    m_spaceShort = false;
    m_databaseDamaged = false;
    m_logBytes = 0;
    if (m_trialRun && ZRPubMethod::getInstance()->stringCount() == 0)
        note(ConsoleText::tr("string.bin is missing or has no texts for language type %1: the window would show "
                            "empty texts")
                 .arg(ZRPubMethod::getInstance()->getLanType()));

    checkPackageFiles();

    if (!updater->isCanUpdate())
        return checkNotNewer(oldVersion, newVersion);

    checkFlagLinks();
    if (m_judgeFlag)
        checkFlag();

    QStringList steps;
    if (!updater->produceUpdateList(oldVersion, newVersion, steps)) {
        problem(ConsoleText::tr("no version steps lead from %1 to %2 (both must be major.minor with the same major "
                               "version): the update is refused")
                    .arg(oldVersion, newVersion));
        return false;
    }
    if (steps.isEmpty())
        note(ConsoleText::tr("no version step runs between %1 and %2: only application/common is copied")
                 .arg(oldVersion, newVersion));
    else
        ok(ConsoleText::tr("version steps: %1").arg(steps.join(QStringLiteral(", "))));

    checkWritable();
    // Before an update the database is checked in place once the updater holds it
    // (checkHeldDatabase()); copying it here would read it a second time.
    if (m_trialRun)
        checkDatabase();
    // What the update would do, planned as the update plans it.
    const StepPlan plan = StepPlan::make(packagePath(InstallLayout::packageRootName()) + QLatin1Char('/'),
                                         m_installDir + QLatin1Char('/'), steps);
    checkFilesInUse(plan);
    // Copied at every step, judged once.
    if (QFileInfo(plan.packageCommon().source).isDir())
        checkCommonTree(plan.packageCommon());
    checkSteps(plan);
    checkSpace(steps);
    checkRegistry();
    return problemCount() == 0;
}

bool PackageCheck::checkNotNewer(const QString &oldVersion, const QString &newVersion)
{
    if (oldVersion.isEmpty() || newVersion.isEmpty()) {
        problem(ConsoleText::tr("the package version %1 cannot be applied to the installed version %2: the update "
                                "is refused at its first stage")
                    .arg(newVersion, oldVersion));
        return false;
    }
    // Not newer: the run would change nothing and say so. Unless the installation
    // is this package's own update that stopped just before its flag, which the
    // run completes.
    if (m_updater->recordedUpdate() == CVUpdater::RecordedUpdate::Yes) {
        note(ConsoleText::tr("an earlier update to %1 stopped just before setting its flag: the update only "
                             "completes it")
                 .arg(newVersion));
        return true;
    }
    m_nothingToDo = true;
    if (VersionOrder::compare(oldVersion, newVersion) == 0)
        note(ConsoleText::tr("the installation already has version %1, the package's version: nothing to do")
                 .arg(newVersion));
    else
        note(ConsoleText::tr("the installed version %1 is newer than the package version %2: nothing to do")
                 .arg(oldVersion, newVersion));
    return false;
}

void PackageCheck::checkFilesInUse(const StepPlan &plan)
{
    // Windows refuses to replace a file that another program holds open (a running
    // program, its libraries): the update would stop half-way on it. The database has a
    // check of its own (DatabaseProbe), which tells the updater's own connection apart.
    if (!FileInUse::canTell())
        return;
    const QString busy = FileInUse::firstInUse(plan.replacedFiles());
    if (!busy.isEmpty())
        problem(ConsoleText::tr("%1 is in use by another program: close the application and try again")
                    .arg(QDir::toNativeSeparators(busy)));
}

void PackageCheck::checkSteps(const StepPlan &plan)
{
    // Without a trial run nothing is copied: the real update must not read the whole
    // database twice.
    TrialDatabase database(m_trialRun ? installPath(InstallLayout::databaseName()) : QString());
    bool anyScript = false;
    for (const StepPlan::Step &step : plan.steps()) {
        for (const StepPlan::Entry &entry : step.entries)
            anyScript = anyScript || (entry.action == StepPlan::Action::RunScript && QFileInfo::exists(entry.source));
    }
    ScriptCheck scripts(database, m_trialRun, [this](Severity severity, const QString &text) { add(severity, text); });
    if (anyScript && m_trialRun)
        scripts.reportDatabase();
    for (int index = 0; index < plan.steps().size(); ++index)
        checkStep(plan, index, scripts);
    m_logBytes += scripts.logBytes();
}

void PackageCheck::checkPackageFiles()
{
    m_verification = PackageVerifier::verify(m_packageDir, TrustedKeys::forInstallation(m_installDir));
    const PackageVerifier::Result &result = m_verification;
    if (!result.accepted()) {
        for (const QString &text : result.problems)
            problem(ConsoleText::tr("package refused: %1").arg(text));
        return;
    }
    // One arg() call: a key's name may hold "%2" itself.
    const QString matched = ConsoleText::tr("signature: %1; %2 files (%3) match %4")
                                .arg(result.signatureText, QString::number(result.fileCount),
                                     humanSize(result.byteCount), QLatin1String(PackageManifest::kFileName));
    switch (result.signature) {
    case PackageVerifier::Signature::Verified:
        ok(matched);
        break;
    case PackageVerifier::Signature::Unsigned:
        note(ConsoleText::tr("the package is unsigned (no %1) and this installation trusts no key (%2): its files "
                             "are not checked")
                 .arg(QLatin1String(PackageManifest::kFileName), TrustedKeys::filePath(m_installDir)));
        break;
    default:
        note(matched);
        break;
    }
}

void PackageCheck::checkFlagLinks()
{
    // The flag is written before the backup and after the steps: never through a link
    // into another program's files.
    for (const QString &relative : {QStringLiteral("config"), QStringLiteral("config/UPDATER.ini"),
                                    QStringLiteral("config/UPDATER.ini.bak")}) {
        const QString written = installPath(relative);
        if (TreeWalker::isLinkOutside(written, m_installDir)) {
            problem(ConsoleText::tr("%1 is a link out of the installation: the update flag would be written outside it")
                        .arg(written));
            return;
        }
    }
}

void PackageCheck::checkFlag()
{
    const UpdateFlag::Reading reading = UpdateFlag(m_installDir).read();
    bool flag = true;
    if (reading.exists) {
        switch (reading.source) {
        case UpdateFlag::Source::Unreadable:
            problem(ConsoleText::tr("config/UPDATER.ini cannot be read: the update would stop before its backup"));
            return;
        case UpdateFlag::Source::File:
            flag = reading.flag;
            break;
        case UpdateFlag::Source::Backup:
            flag = reading.flag;
            note(ConsoleText::tr("config/UPDATER.ini is damaged: the update would replace it with its .bak"));
            break;
        case UpdateFlag::Source::Damaged:
        case UpdateFlag::Source::BackupUnreadable:
            note(ConsoleText::tr("config/UPDATER.ini is damaged: the update would re-create it"));
            break;
        }
    }
    if (flag) {
        ok(ConsoleText::tr("update flag: the installation is consistent"));
        return;
    }
    switch (m_updater->recordedUpdate()) {
    case CVUpdater::RecordedUpdate::Yes:
        note(ConsoleText::tr("an earlier update stopped just before setting its flag, its version already recorded: "
                            "the update completes it"));
        return;
    case CVUpdater::RecordedUpdate::Unknown:
        problem(ConsoleText::tr("an earlier update was interrupted, and the flag file or the uninstall key cannot be "
                               "read: the update would stop"));
        return;
    case CVUpdater::RecordedUpdate::No:
        break;
    }
    const QString backupPath = m_updater->getBackupPath();
    if (QFileInfo(backupPath).isDir())
        note(ConsoleText::tr("an earlier update was interrupted (UPDATE/FLAG is false): the backup %1 is put back "
                            "before the update")
                 .arg(backupPath));
    else
        problem(ConsoleText::tr("an earlier update was interrupted (UPDATE/FLAG is false), but there is no backup %1: "
                               "the restore that comes first would fail")
                    .arg(backupPath));
}

void PackageCheck::checkWritable()
{
    const QFileInfo install(m_installDir);
    if (!install.isWritable())
        problem(ConsoleText::tr("the installation directory %1 is not writable: the backup would fail").arg(m_installDir));
}

void PackageCheck::checkDatabase()
{
    const QString name = InstallLayout::databaseName();
    DatabaseSnapshot snapshot(installPath(name));
    switch (snapshot.state()) {
    case DatabaseSnapshot::State::Missing:
        return;
    case DatabaseSnapshot::State::Failed:
        note(ConsoleText::tr("%1 could not be checked for damage (%2)").arg(name, snapshot.errorString()));
        return;
    case DatabaseSnapshot::State::Taken:
        break;
    }
    const DatabaseSnapshot::Health health = snapshot.quickCheck();
    reportHealth(health, snapshot.problems(), snapshot.errorString());
}

void PackageCheck::checkHeldDatabase()
{
    QStringList problems;
    DBControl *control = DBControl::getInstance();
    const DatabaseSnapshot::Health health = control->quickCheck(3, &problems);
    reportHealth(health, problems, control->errorString());
}

void PackageCheck::reportHealth(DatabaseSnapshot::Health health, const QStringList &problems, const QString &error)
{
    const QString name = InstallLayout::databaseName();
    switch (health) {
    case DatabaseSnapshot::Health::Sound:
        ok(ConsoleText::tr("%1: PRAGMA quick_check passed").arg(name));
        break;
    case DatabaseSnapshot::Health::Damaged:
        m_databaseDamaged = true;
        problem(ConsoleText::tr("%1 is damaged (PRAGMA quick_check: %2): the update would back the damage up and run "
                                "its steps on it; repair or restore the database first")
                    .arg(name, problems.join(QStringLiteral("; "))));
        break;
    case DatabaseSnapshot::Health::Unknown:
        note(ConsoleText::tr("%1 could not be checked for damage (%2)").arg(name, error));
        break;
    }
}

QString PackageCheck::packageRelative(const QString &path) const
{
    return path.mid(m_packageDir.size() + 1);
}

void PackageCheck::checkStep(const StepPlan &plan, int stepIndex, ScriptCheck &scripts)
{
    const StepPlan::Step &step = plan.steps().at(stepIndex);
    if (!step.present) {
        problem(ConsoleText::tr("%1/ is missing: the update would stop at this step")
                    .arg(QStringLiteral("%1/%2").arg(InstallLayout::packageRootName(), step.name)));
        return;
    }
    bool configUsable = true;
    for (int index = 0; index < step.entries.size(); ++index) {
        const StepPlan::Entry &entry = step.entries.at(index);
        switch (entry.action) {
        case StepPlan::Action::Remove:
            checkRemovals(plan, stepIndex, index);
            break;
        case StepPlan::Action::CopyPackageCommon:
            break; // judged once for all the steps
        case StepPlan::Action::CopyStepCommon:
            checkCommonTree(entry);
            break;
        case StepPlan::Action::Config:
            configUsable = checkConfigDir(entry, step.entries.mid(index + 1));
            break;
        case StepPlan::Action::ReplaceConfig:
        case StepPlan::Action::MergeConfig:
            if (configUsable)
                checkConfigFile(entry);
            break;
        case StepPlan::Action::RunScript:
            scripts.check(packageRelative(entry.source), entry.source);
            break;
        }
    }
}

void PackageCheck::checkCommonTree(const StepPlan::Entry &tree)
{
    const QString relativeSource = packageRelative(tree.source);
    int files = 0;
    qint64 bytes = 0;
    const int problemsBefore = problemCount();

    // Walks the tree as the copy would (the same listing, links followed, a link back
    // into the tree left out), without copying.
    TreeWalker walker;
    walker.setReporter([&](TreeWalker::Issue issue, const TreeWalker::Entry &entry, const QString &) {
        if (issue == TreeWalker::Issue::LeftOut)
            note(ConsoleText::tr("%1/%2: %3, so the update does not copy it")
                     .arg(relativeSource, entry.relativePath, leftOutKind(QFileInfo(entry.sourcePath))));
        else if (issue == TreeWalker::Issue::List)
            problem(ConsoleText::tr("%1 cannot be read: the copy would fail")
                        .arg(QStringLiteral("%1/%2").arg(relativeSource, entry.relativePath)));
    });
    walker.visit(tree.source, tree.target, [&](const TreeWalker::Entry &entry, const QFileInfo &source) {
        const QString entryRelative = QStringLiteral("%1/%2").arg(relativeSource, entry.relativePath);
        const QString &targetPath = entry.targetPath;
        const QFileInfo installed(targetPath);
        // What the user made lives in the database and the INI files; a common tree
        // would overwrite them instead of updating or merging them.
        const QString installRelative = QDir(m_installDir).relativeFilePath(targetPath);
        if (installed.isFile() && !source.isDir()
            && (installRelative == InstallLayout::databaseName()
                || (installRelative.startsWith(QLatin1String("config/")) && ConfigBase::isIniFile(source.fileName())))) {
            problem(ConsoleText::tr("%1 would replace the installed %2 instead of %3: the user's data in it is lost")
                        .arg(entryRelative, installRelative,
                             ConfigBase::isIniFile(source.fileName()) ? ConsoleText::tr("merging it (put it in the step's config/)")
                                               : ConsoleText::tr("updating it (use the step's sql/dbupdate.sql)")));
            return TreeWalker::Step::Skip;
        }
        if (source.isDir()) {
            if (installed.isDir() && TreeWalker::isLinkOutside(targetPath, m_installDir))
                problem(ConsoleText::tr("%1: %2 is a link out of the installation: the copy would refuse to write through it")
                            .arg(entryRelative, targetPath));
            else if (!installed.exists() || installed.isDir())
                return TreeWalker::Step::Descend;
            else
                problem(ConsoleText::tr("%1: a directory in the package, but %2 is a file: the copy would fail")
                            .arg(entryRelative, targetPath));
        } else if (!source.isFile() || !source.isReadable()) {
            problem(ConsoleText::tr("%1 cannot be read: the copy would fail").arg(entryRelative));
        } else if (installed.isDir()) {
            problem(ConsoleText::tr("%1: a file in the package, but %2 is a directory: the copy would fail")
                        .arg(entryRelative, targetPath));
        } else if (installed.exists() && !QFileInfo(installed.absolutePath()).isWritable()) {
            problem(ConsoleText::tr("%1: %2 cannot be replaced (its directory is not writable)").arg(entryRelative, targetPath));
        } else {
            ++files;
            bytes += source.size();
        }
        return TreeWalker::Step::Skip;
    });

    if (problemCount() == problemsBefore)
        ok(ConsoleText::tr("%1: %2 files (%3) to copy into the installation").arg(relativeSource).arg(files).arg(humanSize(bytes)));
}

bool PackageCheck::checkConfigDir(const StepPlan::Entry &config, const QList<StepPlan::Entry> &following)
{
    const QString relative = packageRelative(config.source);
    const QFileInfo target(config.target);
    // As the configuration step judges it: it refuses to write through it.
    if (TreeWalker::isLinkOutside(config.target, m_installDir)) {
        problem(ConsoleText::tr("%1: %2 is a link out of the installation: the configuration step would refuse to write "
                                "through it")
                    .arg(relative, config.target));
        return false;
    }
    if (target.exists() && !target.isDir()) {
        problem(ConsoleText::tr("%1: the installation's config is not a directory: the configuration step would fail").arg(relative));
        return false;
    }
    if (target.exists() && !target.isWritable())
        problem(ConsoleText::tr("%1: the installation's config directory is not writable").arg(relative));

    QSet<QString> planned;
    for (const StepPlan::Entry &file : following) {
        if (file.action != StepPlan::Action::ReplaceConfig && file.action != StepPlan::Action::MergeConfig)
            break;
        planned.insert(QFileInfo(file.source).fileName());
    }
    const QFileInfoList all =
        QDir(config.source).entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QFileInfo &entry : all) {
        if (!planned.contains(entry.fileName()))
            note(ConsoleText::tr("%1/%2: %3, so the update does not apply it").arg(relative, entry.fileName(), leftOutKind(entry)));
    }
    return true;
}

void PackageCheck::checkConfigFile(const StepPlan::Entry &file)
{
    const QFileInfo entry(file.source);
    const QFileInfo installed(file.target);
    const QString name = installed.fileName();
    const QString entryRelative = packageRelative(file.source);
    if (entry.isDir()) {
        problem(ConsoleText::tr("%1 is a directory: the configuration step copies files only and would fail here")
                    .arg(entryRelative));
        return;
    }
    if (installed.isDir()) {
        problem(ConsoleText::tr("%1: config/%2 is a directory in the installation: the configuration step would fail")
                    .arg(entryRelative, name));
        return;
    }
    if (file.action == StepPlan::Action::ReplaceConfig) {
        ok(ConsoleText::tr("%1: replaces config/%2").arg(entryRelative, name));
        return;
    }
    ConfigBase packageIni(entry.filePath(), ConfigBase::Access::ReadOnly);
    if (!packageIni.isValid()) {
        problem(ConsoleText::tr("%1 is not a valid marked file (ZRFILE_BEGIN/CODE and ZRFILE_END/CODE must both be "
                               "\"tarnwoven\"): the configuration step would fail")
                    .arg(entryRelative));
        return;
    }
    if (!installed.exists()) {
        ok(ConsoleText::tr("%1: copied as the new file config/%2").arg(entryRelative, name));
        return;
    }
    checkMerge(file, contentKeys(packageIni));
}

void PackageCheck::checkMerge(const StepPlan::Entry &file, const QStringList &packageKeys)
{
    const QFileInfo installed(file.target);
    const QString name = installed.fileName();
    const QString entryRelative = packageRelative(file.source);
    const QFileInfo installedBackup(installed.filePath() + QStringLiteral(".bak"));
    // As the configuration step judges them: it refuses to write through these.
    const auto leadsOut = [this](const QFileInfo &written) {
        return TreeWalker::isLinkOutside(written.filePath(), m_installDir);
    };
    if (leadsOut(installed) || leadsOut(installedBackup)) {
        problem(ConsoleText::tr("%1: %2 is a link out of the installation: the configuration step would refuse to "
                                "write through it")
                    .arg(entryRelative, leadsOut(installed) ? installed.filePath() : installedBackup.filePath()));
        return;
    }
    ConfigBase installedIni(installed.filePath(), ConfigBase::Access::ReadOnly);
    if (!installedIni.isText()) {
        problem(ConsoleText::tr("config/%1 is not text in UTF-8, or in UTF-16 or UTF-8 with a byte order mark: its keys "
                               "cannot be merged, and the update would lose them")
                    .arg(name));
        return;
    }
    if (!installedIni.isReadable()) {
        problem(ConsoleText::tr("config/%1 cannot be read: the configuration step would fail").arg(name));
        return;
    }
    const QStringList lost = installedIni.keysLostByRepair(packageKeys);
    if (!lost.isEmpty()) {
        problem(ConsoleText::tr("config/%1 is damaged, and its repair would drop %2 of its keys (%3): the configuration "
                               "step would fail")
                    .arg(name)
                    .arg(lost.size())
                    .arg(lost.join(QStringLiteral(", "))));
        return;
    }
    int kept = 0;
    if (installedIni.isValid()) {
        const QStringList installedKeys = contentKeys(installedIni);
        const QSet<QString> packageSet(packageKeys.cbegin(), packageKeys.cend());
        for (const QString &key : installedKeys)
            kept += packageSet.contains(key) ? 0 : 1;
    } else {
        note(ConsoleText::tr("config/%1 is damaged: it is repaired (from its .bak, or re-created empty) before the "
                            "package's keys are merged into it")
                 .arg(name));
    }
    ok(ConsoleText::tr("%1: %2 keys merged into config/%3, %4 keys only the installation has are kept")
           .arg(entryRelative)
           .arg(packageKeys.size())
           .arg(name)
           .arg(kept));
}

void PackageCheck::checkRemovals(const StepPlan &plan, int stepIndex, int entryIndex)
{
    const QString relative = packageRelative(plan.steps().at(stepIndex).entries.at(entryIndex).source);
    RemovalList list;
    if (!list.read(packagePath(relative))) {
        problem(ConsoleText::tr("%1 is malformed (%2): the update would stop at this step").arg(relative, list.errorString()));
        return;
    }
    StepRemovals removals(m_installDir);
    removals.setDryRun(true);
    // By the time the step runs, the entries before it have copied their files: the last
    // copy of a path is what the installation would hold.
    removals.setContentSource([&plan, stepIndex, entryIndex](const QString &path) {
        return plan.copiedBefore(stepIndex, entryIndex, path);
    });
    StepRemovals::Result result;
    removals.apply(list, &result);
    if (result.removed.isEmpty())
        ok(ConsoleText::tr("%1: nothing the installation holds would be removed").arg(relative));
    else
        ok(ConsoleText::tr("%1: would remove %2").arg(relative, result.removed.join(QStringLiteral(", "))));
    for (const StepRemovals::Kept &kept : qAsConst(result.kept))
        note(ConsoleText::tr("%1: would keep %2 (%3)").arg(relative, kept.path, StepRemovals::whyText(kept.why)));
}

void PackageCheck::checkSpace(const QStringList &steps)
{
    const qint64 installed = treeSize(m_installDir, true);
    const qint64 backedUp = treeSize(m_updater->getBackupPath(), true);
    const QString packageRoot = InstallLayout::packageRootName();
    qint64 package = treeSize(packagePath(QStringLiteral("%1/common").arg(packageRoot)), false);
    for (const QString &step : steps)
        package += treeSize(packagePath(QStringLiteral("%1/%2").arg(packageRoot, step)), false);
    // The backup copies over what an earlier one left, and the package's files may all be new.
    const qint64 needed = qMax<qint64>(0, installed - backedUp) + package;
    qint64 spare = spareSpace(QFileInfo(installPath(InstallLayout::databaseName())).size());
    const QStorageInfo volume(m_installDir);
    // The update's log (every script statement gets a line) grows as the scripts run:
    // on the installation's file system it takes from the same space.
    const QStorageInfo logVolume(QFileInfo(logDirectory()).absoluteFilePath());
    const bool logApart = logVolume.isValid() && volume.isValid() && logVolume.rootPath() != volume.rootPath();
    if (!logApart)
        spare += m_logBytes;
    const qint64 available = volume.bytesAvailable();
    // A disk that fills up half-way through a step is worse than a refusal: the
    // restore after it may find no room either.
    if (volume.isValid() && available >= 0 && needed + spare > available) {
        m_spaceShort = true;
        problem(ConsoleText::tr("the backup and the new files need about %1 and %2 more to spare, but only %3 are free "
                               "on %4")
                    .arg(humanSize(needed), humanSize(spare), humanSize(available), volume.rootPath()));
    } else
        ok(ConsoleText::tr("space: about %1 needed for the backup and the new files, %2 free")
               .arg(humanSize(needed), humanSize(available)));
    // A log that cannot be written loses the update's record, and the console program
    // then has no file to name for the details.
    if (logApart && logVolume.bytesAvailable() >= 0 && m_logBytes > logVolume.bytesAvailable()) {
        m_spaceShort = true;
        problem(ConsoleText::tr("the update's log needs about %1, but only %2 are free on %3")
                    .arg(humanSize(m_logBytes), humanSize(logVolume.bytesAvailable()), logVolume.rootPath()));
    }
}

void PackageCheck::checkRegistry()
{
#ifndef Q_OS_WIN
    // On Windows only writing would tell; the registry stand-in is a file.
    const QString keyFile = RegistryStore::filePath(m_updater->getRegKey());
    if (!canWriteFile(keyFile))
        problem(ConsoleText::tr("the uninstall key cannot be written (%1): the update would be undone at its last stage")
                    .arg(keyFile));
#endif
    const QString desktop = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
    if (!QFileInfo(desktop).isDir())
        note(ConsoleText::tr("there is no desktop directory %1: no shortcut would be made").arg(desktop));
}
