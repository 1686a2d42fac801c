#ifndef CONSOLERUN_H
#define CONSOLERUN_H

#include "driver/updatesequence.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QString>

#include <memory>

class CVUpdater;
class ConsoleOutput;
class RunReport;
class UpdateLock;

// What the console program's commands (update, restore, check) share in one run: the
// package directory, the output, the report, the update manager and the log, with the
// lines each of them prints alike. The commands' log lines keep the signatures the
// console program has always written them under ("int ConsoleUpdater::runUpdate()",
// ...): log readers and roll-out scripts look for them.
class ConsoleRun
{
public:
    ConsoleRun();
    ~ConsoleRun();
    ConsoleRun(const ConsoleRun &) = delete;
    ConsoleRun &operator=(const ConsoleRun &) = delete;

    static QString programName();
    // A string table text, or the English text when no table is loaded.
    static QString text(int id);
    static QString stageName(UpdateSequence::Stage stage);
    // A stage's id in the report ("check-version", ...).
    static QString stageId(UpdateSequence::Stage stage);
    static QJsonObject signatureJson(const PackageVerifier::Result &result);
    static QJsonArray holdersJson(const QList<FileHolders::Holder> &holders);
    // Drops every message: the dry run writes nothing, not even a log, and what the
    // library would log before the log exists is not for the console either.
    static void discardMessages();

    void badInput(const QString &message);
    // The log directory, handler and first line, as the window's start-up makes them.
    void startLog(const QString &logDir);
    // An update or restore in the package directory: the log there, the update manager
    // and the installation it found; false (printed) when there is no installation.
    bool openInPackage();
    // The installation the update manager found is there; false with the message printed.
    bool checkInstallation();
    // Takes the installation's lock for a restore or a check; false (with the message
    // printed) when another updater holds it.
    bool lockInstallation(UpdateLock &lock);
    // The database a restore of this run kept aside, on the console and in the report.
    void reportKeptDatabase();
    // The log file of this run, as an absolute path.
    QString logFileShown() const;
    // Every line of the run reached the log file.
    bool isLogWritten() const;
    // The last line of a failed run: where the details are, or that there is no log.
    QString detailsText() const;

    QString packageDir;
    // Where the log goes: the package's "log", or the installation's for a restore
    // run outside a package.
    QString logDir;
    std::unique_ptr<ConsoleOutput> output;
    // The update manager's one instance (CVUpdater::getInstance()), deleted at the end
    // of the run as the window deletes it.
    std::unique_ptr<CVUpdater> updater;
    // --wait-for-application: how long an update waits for the programs that hold the
    // installation's files to close.
    int waitSeconds = 0;
    // --report: the run's JSON account, written at the end of the run; null without it.
    std::unique_ptr<RunReport> report;
};

#endif // CONSOLERUN_H
