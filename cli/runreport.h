#ifndef RUNREPORT_H
#define RUNREPORT_H

#include <QDateTime>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonObject>
#include <QString>

// The machine-readable account of one corvane-updater-cli run ("--report FILE"), for
// roll-out tools: one JSON object with the versions, the installation, each stage with
// its outcome and duration, the package's signature check, the --check findings, the
// exit status with its meaning and the log file's path. Written whole (QSaveFile), also
// when the run ends early.
class RunReport
{
public:
    RunReport();

    void setMode(const QString &mode);
    void setPackage(const QString &directory, const QString &version);
    void setInstallation(const QString &directory, const QString &version, const QString &uninstallKey);

    // A stage starts: the one before it, if still open, ended well.
    void startStage(const QString &id, const QString &title);
    // Closes the open stage with its outcome ("ok", "failed").
    void finishStage(const QString &outcome);
    // The outcome of a stage already closed, by its id (the last one of that id).
    void setStageOutcome(const QString &id, const QString &outcome);

    void setSignature(const QJsonObject &signature) { m_signature = signature; }
    // The processes that held the installation's files: [{"pid": 4242, "name": "ostrelle"}].
    void setHolders(const QJsonArray &holders) { m_holders = holders; }
    void addFinding(const QString &severity, const QString &text);
    // What one version step's removal list removed and kept (paths in the installation).
    void addRemovals(const QString &step, const QStringList &removed, const QStringList &kept);
    // What a successful run could not do (a shortcut not made): "warnings".
    void addWarning(const QString &text) { m_warnings.append(text); }
    void setResult(const QString &text) { m_result = text; }
    void setLogFile(const QString &path) { m_logFile = path; }
    // The database a restore kept aside ("keptDatabase"; null when none).
    void setKeptDatabase(const QString &path) { m_keptDatabase = path; }
    void setExit(int status, const QString &meaning);

    QJsonObject toJson() const;
    bool write(const QString &path, QString *error) const;

private:
    QString m_mode;
    QDateTime m_started;
    QElapsedTimer m_clock;
    QJsonObject m_package;
    QJsonObject m_installation;
    QJsonArray m_stages;
    int m_openStage = -1;
    qint64 m_openSince = 0;
    QJsonObject m_signature;
    QJsonArray m_holders;
    QJsonArray m_findings;
    QJsonArray m_removals;
    QJsonArray m_warnings;
    QString m_result;
    QString m_logFile;
    QString m_keptDatabase;
    int m_exitStatus = -1;
    QString m_exitMeaning;
};

#endif // RUNREPORT_H
