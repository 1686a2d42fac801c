#include "cli/runreport.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QSaveFile>

RunReport::RunReport()
    : m_started(QDateTime::currentDateTimeUtc())
{
    m_clock.start();
}

void RunReport::setMode(const QString &mode)
{
    m_mode = mode;
}

void RunReport::setPackage(const QString &directory, const QString &version)
{
    m_package = QJsonObject{{QStringLiteral("directory"), directory}, {QStringLiteral("version"), version}};
}

void RunReport::setInstallation(const QString &directory, const QString &version, const QString &uninstallKey)
{
    m_installation = QJsonObject{{QStringLiteral("directory"), directory},
                                 {QStringLiteral("version"), version},
                                 {QStringLiteral("uninstallKey"), uninstallKey}};
}

void RunReport::startStage(const QString &id, const QString &title)
{
    if (m_openStage >= 0)
        finishStage(QStringLiteral("ok"));
    m_stages.append(QJsonObject{{QStringLiteral("id"), id}, {QStringLiteral("title"), title}});
    m_openStage = m_stages.size() - 1;
    m_openSince = m_clock.nsecsElapsed();
}

void RunReport::finishStage(const QString &outcome)
{
    if (m_openStage < 0)
        return;
    QJsonObject stage = m_stages.at(m_openStage).toObject();
    stage.insert(QStringLiteral("outcome"), outcome);
    stage.insert(QStringLiteral("seconds"), double(m_clock.nsecsElapsed() - m_openSince) / 1e9);
    m_stages.replace(m_openStage, stage);
    m_openStage = -1;
}

void RunReport::setStageOutcome(const QString &id, const QString &outcome)
{
    for (int i = m_stages.size() - 1; i >= 0; --i) {
        QJsonObject stage = m_stages.at(i).toObject();
        if (stage.value(QStringLiteral("id")).toString() == id) {
            stage.insert(QStringLiteral("outcome"), outcome);
            m_stages.replace(i, stage);
            return;
        }
    }
}

void RunReport::addFinding(const QString &severity, const QString &text)
{
    m_findings.append(QJsonObject{{QStringLiteral("severity"), severity}, {QStringLiteral("text"), text}});
}

void RunReport::addRemovals(const QString &step, const QStringList &removed, const QStringList &kept)
{
    m_removals.append(QJsonObject{{QStringLiteral("step"), step},
                                  {QStringLiteral("removed"), QJsonArray::fromStringList(removed)},
                                  {QStringLiteral("kept"), QJsonArray::fromStringList(kept)}});
}

void RunReport::setExit(int status, const QString &meaning)
{
    m_exitStatus = status;
    m_exitMeaning = meaning;
}

QJsonObject RunReport::toJson() const
{
    int problems = 0;
    for (const QJsonValue &finding : m_findings)
        problems += finding.toObject().value(QStringLiteral("severity")).toString() == QLatin1String("problem") ? 1 : 0;
    QJsonObject report{
        {QStringLiteral("program"), QCoreApplication::applicationName()},
        {QStringLiteral("programVersion"), QCoreApplication::applicationVersion()},
        {QStringLiteral("mode"), m_mode},
        {QStringLiteral("started"), m_started.toString(Qt::ISODateWithMs)},
        {QStringLiteral("seconds"), double(m_clock.nsecsElapsed()) / 1e9},
        {QStringLiteral("package"), m_package},
        {QStringLiteral("installation"), m_installation},
        {QStringLiteral("stages"), m_stages},
        {QStringLiteral("signature"), m_signature.isEmpty() ? QJsonValue() : QJsonValue(m_signature)},
        {QStringLiteral("holders"), m_holders},
        {QStringLiteral("check"), QJsonObject{{QStringLiteral("problems"), problems}, {QStringLiteral("findings"), m_findings}}},
        {QStringLiteral("removals"), m_removals},
        {QStringLiteral("result"), m_result},
        {QStringLiteral("warnings"), m_warnings},
        {QStringLiteral("exitStatus"), m_exitStatus},
        {QStringLiteral("exitMeaning"), m_exitMeaning},
        {QStringLiteral("logFile"), m_logFile.isEmpty() ? QJsonValue() : QJsonValue(m_logFile)},
        {QStringLiteral("keptDatabase"), m_keptDatabase.isEmpty() ? QJsonValue() : QJsonValue(m_keptDatabase)},
    };
    return report;
}

bool RunReport::write(const QString &path, QString *error) const
{
    QSaveFile file(path);
    const QByteArray json = QJsonDocument(toJson()).toJson(QJsonDocument::Indented);
    if (!file.open(QIODevice::WriteOnly) || file.write(json) != json.size() || !file.commit()) {
        *error = file.errorString();
        return false;
    }
    return true;
}
