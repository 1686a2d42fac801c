#include "app/updatesequence.h"

#include "config/configbase.h"
#include "updater/cvupdater.h"

#include <QDir>

#include <memory>
#include <utility>

UpdateSequence::UpdateSequence(CVUpdater *updater)
    : m_updater(updater)
{
}

void UpdateSequence::setStageListener(std::function<void(Stage)> listener)
{
    m_listener = std::move(listener);
}

UpdateSequence::Stage UpdateSequence::failedStage() const
{
    return m_failedStage;
}

int UpdateSequence::resultTextId(Outcome outcome)
{
    switch (outcome) {
    case Outcome::Succeeded:
        return 1515;
    case Outcome::VersionRefused:
        return 1513;
    case Outcome::FlagFailed:
    case Outcome::InterruptedRestoreFailed:
    case Outcome::BackupFailed:
    case Outcome::UpdateFailedRestored:
    case Outcome::UpdateFailedRestoreFailed:
        break;
    }
    return 1514;
}

void UpdateSequence::enter(Stage stage)
{
    if (m_listener)
        m_listener(stage);
}

UpdateSequence::Outcome UpdateSequence::fail(Stage stage, Outcome outcome)
{
    m_failedStage = stage;
    return outcome;
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
    const QString installPath = m_updater->getInstallPath();
    if (!installPath.isEmpty() && QDir(installPath).exists())
        m_updater->cleanInterruptedSaves();

    enter(Stage::CheckVersion);
    const bool canUpdate = m_updater->isCanUpdate();
    // The key names the package's version already: refused, unless it was this package's
    // own run that stopped just before its flag.
    if (!canUpdate && m_updater->recordedUpdate() != CVUpdater::RecordedUpdate::Yes)
        return fail(Stage::CheckVersion, Outcome::VersionRefused);

    enter(Stage::CheckFlag);
    // Opening the flag file repairs or creates it, directories included. Where there is
    // no installation directory nothing is read (or made, e.g. "/config" for an empty
    // path); the backup then refuses to run.
    std::unique_ptr<ConfigBase> flagFile;
    bool flag = true;
    if (!installPath.isEmpty() && QDir(installPath).exists()) {
        flagFile.reset(new ConfigBase(m_updater->getFlagFilePath()));
        // Taken for "true", an unreadable flag would have the backup of a half-updated
        // installation replace the only whole one.
        if (!flagFile->isReadable())
            return fail(Stage::CheckFlag, Outcome::FlagFailed);
        flag = flagFile->value(QStringLiteral("UPDATE/FLAG"), true).toBool();
    }

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
    }

    enter(Stage::Backup);
    if (!m_updater->backupVersion())
        return fail(Stage::Backup, Outcome::BackupFailed);

    enter(Stage::Execute);
    if (!m_updater->execUpdate())
        return restoreAfter(Stage::Execute);

    enter(Stage::RegistryAndShortcut);
    if (!m_updater->updateRegKey())
        return restoreAfter(Stage::RegistryAndShortcut);

    return Outcome::Succeeded;
}
