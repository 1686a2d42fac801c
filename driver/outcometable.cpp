#include "driver/outcometable.h"

#include "context/consoletext.h"

namespace {

using Outcome = UpdateSequence::Outcome;

OutcomeTable::Row row(OutcomeTable::Status status, const QString &help, const char *meaning)
{
    return {status, false, Outcome::Succeeded, -1, help, QString::fromUtf8(meaning)};
}

OutcomeTable::Row row(OutcomeTable::Status status, Outcome outcome, int textId, const QString &help,
                      const char *meaning)
{
    return {status, true, outcome, textId, help, QString::fromUtf8(meaning)};
}

} // namespace

QVector<OutcomeTable::Row> OutcomeTable::rows()
{
    // Made on each call: the help rows are in the language loaded at the time.
    return {
        row(Success, Outcome::Succeeded, 1515, ConsoleText::tr("success (update, restore, or a check that found no problem)"),
            "success"),
        row(CheckFailed, ConsoleText::tr("--check: the update would fail"), "--check: the update would fail"),
        row(BadInput, ConsoleText::tr("bad input: command line, package directory or installation unusable"),
            "bad input: command line, package directory or installation unusable"),
        row(NothingToDo, Outcome::VersionRefused, 1513,
            ConsoleText::tr("nothing to do: the installation already has the package's version or a newer one; "
                            "nothing was changed (also --check)"),
            "nothing to do: the installation already has the package's version or a newer one; nothing was changed"),
        row(InterruptedRestoreFailed, Outcome::InterruptedRestoreFailed, 1514,
            ConsoleText::tr("an interrupted earlier update could not be undone; nothing else was done"),
            "an interrupted earlier update could not be undone; nothing else was done"),
        row(BackupFailed, Outcome::BackupFailed, 1514, ConsoleText::tr("the backup failed; nothing was updated"),
            "the backup failed; nothing was updated"),
        row(UpdateFailedRestored, Outcome::UpdateFailedRestored, 1514,
            ConsoleText::tr("the update failed; the backup was put back"), "the update failed; the backup was put back"),
        row(UpdateFailedRestoreFailed, Outcome::UpdateFailedRestoreFailed, 1514,
            ConsoleText::tr("the update failed and the backup could not be put back"),
            "the update failed and the backup could not be put back"),
        row(RestoreFailed, ConsoleText::tr("--restore failed"), "--restore failed"),
        row(FlagFailed, Outcome::FlagFailed, 1514,
            ConsoleText::tr("the update flag (config/UPDATER.ini) could not be read or set; nothing was changed"),
            "the update flag could not be read or set; nothing was changed"),
        row(PackageRefused, Outcome::PackageRefused, 1514,
            ConsoleText::tr("the package failed the checks made before the backup; nothing was changed"),
            "the package failed the checks made before the backup; nothing was changed"),
        row(AnotherUpdateRunning, Outcome::AnotherUpdateRunning, 1514,
            ConsoleText::tr("another update, restore or check of the installation is running; nothing was changed"),
            "another update, restore or check of the installation is running; nothing was changed"),
        row(NotEnoughSpace, Outcome::NotEnoughSpace, 1514,
            ConsoleText::tr("not enough free space for the backup and the package; nothing was changed"),
            "not enough free space for the backup and the package; nothing was changed"),
        row(DatabaseInUse, Outcome::DatabaseInUse, 1514,
            ConsoleText::tr("the application is running: another program holds the database or a program file open "
                            "(each is named); nothing was changed"),
            "the application is running (another program holds the database or a program file open); nothing was "
            "changed"),
        row(PackageNotVerified, Outcome::PackageNotVerified, 1514,
            ConsoleText::tr("the package's files or signature do not pass (not whole, not signed by a trusted key); "
                            "nothing was changed"),
            "the package's files or signature do not pass; nothing was changed"),
        row(DatabaseDamaged, Outcome::DatabaseDamaged, 1514,
            ConsoleText::tr("the installation's database is damaged (repair or restore it, then update); nothing was "
                            "changed"),
            "the installation's database is damaged (repair or restore it, then update); nothing was changed"),
    };
}

OutcomeTable::Status OutcomeTable::status(UpdateSequence::Outcome outcome)
{
    for (const Row &entry : rows()) {
        if (entry.hasOutcome && entry.outcome == outcome)
            return entry.status;
    }
    // Every outcome has its row; a new one without is not a success.
    return UpdateFailedRestoreFailed;
}

int OutcomeTable::resultTextId(UpdateSequence::Outcome outcome)
{
    for (const Row &entry : rows()) {
        if (entry.hasOutcome && entry.outcome == outcome)
            return entry.resultTextId;
    }
    return 1514;
}

QString OutcomeTable::meaning(int status)
{
    const QVector<Row> all = rows();
    return status >= 0 && status < all.size() ? all.at(status).meaning : QString();
}
