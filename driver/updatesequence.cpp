#include "driver/updatesequence.h"

#include "check/packagecheck.h"
#include "db/databaseprobe.h"
#include "db/dbcontrol.h"
#include "driver/outcometable.h"
#include "log/applog.h"
#include "context/consoletext.h"
#include "updater/applicationcheck.h"
#include "updater/cvupdater.h"
#include "layout/installlayout.h"
#include "updater/updateflag.h"
#include "updater/updatelock.h"

#include <QDir>

#include <utility>

namespace {

const char runSignature[] = "UpdateSequence::Outcome UpdateSequence::run()";

// The line each front end writes as a stage starts, as the window's Update button has
// always written it; the restores log their own outcome.
const char *stageLogLine(UpdateSequence::Stage stage)
{
    switch (stage) {
    case UpdateSequence::Stage::CheckVersion:
        return "check version";
    case UpdateSequence::Stage::CheckFlag:
        return "check update flag";
    case UpdateSequence::Stage::CheckPackage:
        return "check package";
    case UpdateSequence::Stage::Backup:
        return "backup old version";
    case UpdateSequence::Stage::Execute:
        return "exec update";
    case UpdateSequence::Stage::RegistryAndShortcut:
        return "update regedit and shortcut";
    case UpdateSequence::Stage::RestoreInterrupted:
    case UpdateSequence::Stage::RestoreAfterFailure:
        break;
    }
    return nullptr;
}

// Gives the database back when the run ends, however it ends.
struct HeldDatabase
{
    HeldDatabase() = default;
    HeldDatabase(const HeldDatabase &) = delete;
    HeldDatabase &operator=(const HeldDatabase &) = delete;
    ~HeldDatabase()
    {
        if (DBControl *control = DBControl::createdInstance())
            control->releaseHold();
    }
};

} // namespace

UpdateSequence::Observer::~Observer() = default;

void UpdateSequence::Observer::waitingForHolders(const QList<FileHolders::Holder> &holders)
{
    Q_UNUSED(holders)
}

UpdateSequence::UpdateSequence(CVUpdater *updater)
    : m_updater(updater)
{
}

void UpdateSequence::setObserver(Observer *observer)
{
    m_observer = observer;
}

void UpdateSequence::setStageListener(std::function<void(Stage)> listener)
{
    m_listener = std::move(listener);
}

void UpdateSequence::setWaitForApplication(int seconds)
{
    m_waitSeconds = seconds;
}

UpdateSequence::Stage UpdateSequence::failedStage() const
{
    return m_failedStage;
}

QStringList UpdateSequence::refusal() const
{
    return m_refusal;
}

int UpdateSequence::resultTextId(Outcome outcome)
{
    return OutcomeTable::resultTextId(outcome);
}

int UpdateSequence::addProgress(int current, int increment)
{
    // The increments of a whole update add up to more than 100.
    return qMin(100, current + increment);
}

QString UpdateSequence::keptDatabaseText(const QString &database, const QString &kept)
{
    return ConsoleText::tr("Another program changed %1 after the update wrote it; it was kept as %2 before the backup "
                           "was put back. To get that work back, close the application and copy %2 (with its -wal "
                           "file, if any) over %1.")
        .arg(QDir::toNativeSeparators(database), QDir::toNativeSeparators(kept));
}

QString UpdateSequence::anotherUpdateText(const QString &installPath, const QString &holder)
{
    return holder.isEmpty()
               ? ConsoleText::tr("Another update of %1 is running; nothing was changed.").arg(installPath)
               : ConsoleText::tr("Another update of %1 is running (%2); nothing was changed.").arg(installPath, holder);
}

void UpdateSequence::enter(Stage stage)
{
    if (m_observer) {
        if (const char *line = stageLogLine(stage))
            ZR_LOG_DEBUG(m_observer->logSignature()) << line;
        m_observer->stageStarted(stage);
    }
    if (m_listener)
        m_listener(stage);
}

UpdateSequence::Outcome UpdateSequence::fail(Stage stage, Outcome outcome)
{
    m_failedStage = stage;
    return outcome;
}

UpdateSequence::Outcome UpdateSequence::refuse(Stage stage, Outcome outcome, const QStringList &reasons)
{
    m_refusal = reasons;
    for (const QString &reason : reasons)
        ZR_LOG_WARNING(runSignature) << QStringLiteral("refused, nothing changed: %1").arg(reason);
    return fail(stage, outcome);
}

UpdateSequence::Outcome UpdateSequence::restoreAfter(Stage failed)
{
    m_failedStage = failed;
    enter(Stage::RestoreAfterFailure);
    // A failed restore leaves the flag false from the backup, so the next run starts
    // with a restore.
    return m_updater->restoreVersion() ? Outcome::UpdateFailedRestored : Outcome::UpdateFailedRestoreFailed;
}

UpdateSequence::Outcome UpdateSequence::run()
{
    m_failedStage = Stage::CheckVersion;
    m_databaseHeld = false;
    m_refusal.clear();
    m_holders.clear();
    m_verification = PackageVerifier::Result();
    const QString installPath = m_updater->getInstallPath();
    const bool installed = !installPath.isEmpty() && QDir(installPath).exists();

    // Two updaters at once would back up and restore each other's half-done work.
    // Without an installation directory there is nothing to lock, and nothing the
    // backup would go on with.
    UpdateLock lock(installPath);
    if (installed && lock.tryLock() == UpdateLock::Result::Busy)
        return refuse(Stage::CheckVersion, Outcome::AnotherUpdateRunning,
                      {anotherUpdateText(installPath, lock.holder())});
    // Read at start-up, the installed version may be that of before another updater's
    // run that ended since.
    if (lock.isLocked())
        m_updater->refreshOldVersion();

    m_updater->forgetKeptDatabase();
    const HeldDatabase held;
    QMetaObject::Connection progress;
    if (m_observer) {
        Observer *observer = m_observer;
        progress = QObject::connect(m_updater, &CVUpdater::sigProcessAddValue, m_updater, [observer](int increment) {
            observer->setProgress(addProgress(observer->progress(), increment));
        });
    }
    const Outcome outcome = runLocked();
    QObject::disconnect(progress);
    return outcome;
}

UpdateSequence::Outcome UpdateSequence::runLocked()
{
    const QString installPath = m_updater->getInstallPath();
    const bool installed = !installPath.isEmpty() && QDir(installPath).exists();
    if (installed)
        m_updater->cleanInterruptedSaves();

    enter(Stage::CheckVersion);
    const bool canUpdate = m_updater->isCanUpdate();
    // The key names the package's version already: refused, unless it was this package's
    // own run that stopped just before its flag.
    if (!canUpdate && m_updater->recordedUpdate() != CVUpdater::RecordedUpdate::Yes)
        return fail(Stage::CheckVersion, Outcome::VersionRefused);

    // Before anything is changed, also before the restore of an interrupted update
    // (which only adds and overwrites, so what conflicts with the package now still
    // does after it). Not when this package's own run only needs its flag.
    if (installed && canUpdate) {
        const Outcome checked = checkBeforeBackup();
        if (checked != Outcome::Succeeded)
            return checked;
    }

    enter(Stage::CheckFlag);
    // Opening the flag file repairs or creates it, directories included. Where there is
    // no installation directory nothing is read (or made, e.g. "/config" for an empty
    // path); the backup then refuses to run.
    bool flag = true;
    if (installed && !UpdateFlag(installPath).openForUpdate(&flag))
        return fail(Stage::CheckFlag, Outcome::FlagFailed);

    const CVUpdater::RecordedUpdate recorded = flag ? CVUpdater::RecordedUpdate::No : m_updater->recordedUpdate();
    if (recorded == CVUpdater::RecordedUpdate::Unknown)
        return fail(Stage::CheckFlag, Outcome::FlagFailed);
    if (recorded == CVUpdater::RecordedUpdate::Yes) {
        // Every step of that update ran and its version is recorded: its backup is
        // older than the installation and must not come back.
        if (!m_updater->finishRecordedUpdate())
            return fail(Stage::CheckFlag, Outcome::FlagFailed);
        if (!canUpdate)
            return Outcome::Succeeded;
    } else if (!canUpdate) {
        // Only the flag file's own repair can have changed its answer since the check.
        return fail(Stage::CheckVersion, Outcome::VersionRefused);
    } else if (!flag) {
        // An earlier update stopped after its backup: the installation is half old,
        // half new, and only the backup is known to be whole.
        enter(Stage::RestoreInterrupted);
        if (!m_updater->restoreVersion())
            return fail(Stage::RestoreInterrupted, Outcome::InterruptedRestoreFailed);
        // The restore replaced the database it held; another program that took it in
        // between must not write into one the update changes.
        DBControl *control = DBControl::createdInstance();
        if (control && !control->isHeld() && m_databaseHeld)
            return refuse(Stage::Backup, Outcome::DatabaseInUse, {heldText(control->errorString())});
    }

    enter(Stage::Backup);
    if (!m_updater->backupVersion())
        return fail(Stage::Backup, Outcome::BackupFailed);

    enter(Stage::Execute);
    const bool executed = m_updater->execUpdate();
    // The updater's last write to the database: a restore, now or days later, keeps a
    // database that is not this one.
    m_updater->recordDatabase();
    if (!executed)
        return restoreAfter(Stage::Execute);

    enter(Stage::RegistryAndShortcut);
    if (!m_updater->updateRegKey())
        return restoreAfter(Stage::RegistryAndShortcut);

    return Outcome::Succeeded;
}

UpdateSequence::Outcome UpdateSequence::checkBeforeBackup()
{
    enter(Stage::CheckPackage);
    // What --check finds wrong with the package would otherwise be found only after a
    // full backup, half-way through a step, or never.
    PackageCheck check(QDir::currentPath());
    check.setMode(PackageCheck::Mode::BeforeUpdate);
    check.run(m_updater);
    // A package that is not whole or not signed by a trusted key is refused as such,
    // whatever else the check found: its other findings are about files no one vouches for.
    m_verification = check.verification();
    ZR_LOG_INFO(runSignature) << "package:" << m_verification.signatureText;
    if (check.packageRefused())
        return refuse(Stage::CheckPackage, Outcome::PackageNotVerified, m_verification.problems);
    const auto problemsOf = [&check]() {
        QStringList problems;
        const QList<PackageCheck::Finding> findings = check.findings();
        for (const PackageCheck::Finding &finding : findings) {
            if (finding.severity == PackageCheck::Severity::Problem)
                problems << finding.text;
        }
        return problems;
    };
    QStringList problems = problemsOf();
    if (!problems.isEmpty()) {
        // A damaged database needs repair whatever else the package needs; nothing is
        // held yet, so it is checked on a copy.
        check.checkDatabase();
        problems = problemsOf();
        const bool spaceOnly = check.isSpaceShort() && problems.size() == 1;
        const Outcome outcome = check.isDatabaseDamaged() ? Outcome::DatabaseDamaged
                                : spaceOnly                ? Outcome::NotEnoughSpace
                                                           : Outcome::PackageRefused;
        return refuse(Stage::CheckPackage, outcome, problems);
    }
    // Damage found once the database is held (in place) or could not be held (on a copy).
    const auto refuseDamaged = [&]() {
        return check.isDatabaseDamaged() ? refuse(Stage::CheckPackage, Outcome::DatabaseDamaged, problemsOf())
                                         : Outcome::Succeeded;
    };

    const Outcome waited = waitForApplication();
    if (waited != Outcome::Succeeded)
        return waited;
    // A lock of a process no one can name. (A journal our own interrupted step left is
    // rolled back by SQLite here; the restore then replaces that database anyway.)
    const QString database = InstallLayout::databasePath(m_updater->getInstallPath());
    QString error;
    switch (DatabaseProbe::probe(database, &error)) {
    case DatabaseProbe::State::InUse:
        return refuse(Stage::CheckPackage, Outcome::DatabaseInUse,
                      {ConsoleText::tr("%1 is in use by another program (%2): close the application and try again")
                           .arg(database, error)});
    case DatabaseProbe::State::Failed:
        // The database step will say more; a database that cannot be opened is not one
        // that another program holds.
        ZR_LOG_WARNING(runSignature) << QStringLiteral("open %1 failed: %2").arg(database, error);
        check.checkDatabase();
        return refuseDamaged();
    case DatabaseProbe::State::Missing:
        break;
    case DatabaseProbe::State::Free: {
        const Outcome held = holdDatabase();
        if (held != Outcome::Succeeded)
            return held;
        // Held, no one else can write it: checked in place, without a copy.
        check.checkHeldDatabase();
        return refuseDamaged();
    }
    }
    return Outcome::Succeeded;
}

UpdateSequence::Outcome UpdateSequence::waitForApplication()
{
    // The application writing its database while the update changes it, or while a
    // restore replaces it, would lose its work; even idle, with no lock taken, it may
    // commit at any moment. Whoever holds the database or a program file open is named.
    const ApplicationCheck application(m_updater->getInstallPath());
    m_holders = application.waitForHolders(m_waitSeconds, [this](const QList<FileHolders::Holder> &holders) {
        for (const FileHolders::Holder &holder : holders)
            ZR_LOG_INFO(runSignature) << QStringLiteral("waiting up to %1 s: %2").arg(m_waitSeconds).arg(ApplicationCheck::describe(holder));
        if (m_observer)
            m_observer->waitingForHolders(holders);
    });
    if (m_holders.isEmpty())
        return Outcome::Succeeded;
    QStringList reasons;
    for (const FileHolders::Holder &holder : qAsConst(m_holders))
        reasons << ApplicationCheck::describe(holder);
    return refuse(Stage::CheckPackage, Outcome::DatabaseInUse, reasons);
}

QString UpdateSequence::heldText(const QString &reason) const
{
    return ConsoleText::tr("%1 is in use by another program (%2): close the application and try again")
        .arg(InstallLayout::databasePath(m_updater->getInstallPath()), reason);
}

UpdateSequence::Outcome UpdateSequence::holdDatabase()
{
    // From here to the end of the run no other program can commit into a database that
    // a restore may still replace: it gets "database is locked". The same lock the
    // restore takes, so a restore can always take what this let through.
    DBControl *control = DBControl::getInstance();
    if (!control->hold())
        return refuse(Stage::CheckPackage, Outcome::DatabaseInUse, {heldText(control->errorString())});
    m_databaseHeld = true;
    return Outcome::Succeeded;
}
