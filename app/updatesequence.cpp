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

    enter(Stage::CheckVersion);
    if (!m_updater->isCanUpdate())
        return fail(Stage::CheckVersion, Outcome::VersionRefused);

    enter(Stage::CheckFlag);
    // Opening the flag file repairs or creates it, directories included. Where there is
    // no installation directory nothing is read (or made, e.g. "/config" for an empty
    // path); the backup then refuses to run.
    std::unique_ptr<ConfigBase> flagFile;
    bool flag = true;
    const QString installPath = m_updater->getInstallPath();
    if (!installPath.isEmpty() && QDir(installPath).exists()) {
        flagFile.reset(new ConfigBase(m_updater->getFlagFilePath()));
        flag = flagFile->value(QStringLiteral("UPDATE/FLAG"), true).toBool();
    }

    if (!flag) {
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
