#include "cli/consoleupdater.h"

#include "cli/consoleoutput.h"
#include "cli/runreport.h"
#include "package/trustedkeys.h"
#include "check/packagecheck.h"
#include "context/zrpubmethod.h"
#include "config/configbase.h"
#include "layout/versionorder.h"
#include "log/applog.h"
#include "log/logmessagehandler.h"
#include "platform/registrystore.h"
#include "context/consoletext.h"
#include "context/stringtable.h"
#include "steps/formalupdateo.h"
#include "updater/applicationcheck.h"
#include "updater/cvupdater.h"
#include "layout/installlayout.h"
#include "updater/updatelock.h"

#include <QCommandLineParser>
#include <QJsonArray>
#include <QJsonObject>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <cstdio>

namespace {

// The dry run writes nothing, not even a log; what the library would log is not for
// the console either.
void discardMessages(QtMsgType, const QMessageLogContext &, const QString &)
{
}

QString programName()
{
    return QStringLiteral("corvane-updater-cli");
}

// "  --check    text": the option column padded, the text as translated.
QString helpRow(const char *option, const QString &text)
{
    return QStringLiteral("  %1 %2\n").arg(QString::fromLatin1(option).leftJustified(14), text);
}

// A word padded to a column of the terminal: East Asian wide characters take two cells.
QString padded(const QString &word, int cells)
{
    const auto isWide = [](ushort c) {
        return (c >= 0x1100 && c <= 0x115f) || (c >= 0x2e80 && c <= 0xa4cf) || (c >= 0xac00 && c <= 0xd7a3)
            || (c >= 0xf900 && c <= 0xfaff) || (c >= 0xff00 && c <= 0xff60) || (c >= 0xffe0 && c <= 0xffe6);
    };
    int width = 0;
    for (const QChar c : word)
        width += isWide(c.unicode()) ? 2 : 1;
    return word + QString(qMax(0, cells - width), QLatin1Char(' '));
}

// The console's side of an update: stage names and progress on the output.
class ConsoleObserver : public UpdateSequence::Observer
{
public:
    ConsoleObserver(ConsoleOutput *output, RunReport *report)
        : m_output(output)
        , m_report(report)
    {
    }
    const char *logSignature() const override { return "int ConsoleUpdater::runUpdate()"; }
    void stageStarted(UpdateSequence::Stage stage) override
    {
        m_output->stage(ConsoleUpdater::stageName(stage));
        if (m_report)
            m_report->startStage(ConsoleUpdater::stageId(stage), ConsoleUpdater::stageName(stage));
    }
    int progress() const override { return m_output->progress(); }
    void setProgress(int value) override { m_output->setProgress(value); }
    void waitingForHolders(const QList<FileHolders::Holder> &holders) override
    {
        m_output->info(ConsoleText::tr("Waiting up to %1 seconds for these programs to close:").arg(m_waitSeconds));
        for (const FileHolders::Holder &holder : holders)
            m_output->info(QStringLiteral("  %1").arg(ApplicationCheck::describe(holder)));
    }
    void setWaitSeconds(int seconds) { m_waitSeconds = seconds; }

private:
    ConsoleOutput *m_output;
    RunReport *m_report;
    int m_waitSeconds = 0;
};

QJsonObject signatureJson(const PackageVerifier::Result &result)
{
    QJsonArray differences;
    for (const PackageVerifier::Difference &difference : result.differences)
        differences.append(difference.text());
    return QJsonObject{{QStringLiteral("state"), PackageVerifier::signatureName(result.signature)},
                       {QStringLiteral("text"), result.signatureText},
                       {QStringLiteral("accepted"), result.accepted()},
                       {QStringLiteral("manifest"), result.hasManifest},
                       {QStringLiteral("files"), result.fileCount},
                       {QStringLiteral("bytes"), double(result.byteCount)},
                       {QStringLiteral("differences"), differences},
                       {QStringLiteral("problems"), QJsonArray::fromStringList(result.problems)}};
}

QJsonArray holdersJson(const QList<FileHolders::Holder> &holders)
{
    QJsonArray list;
    for (const FileHolders::Holder &holder : holders) {
        QJsonArray files;
        for (const QString &file : holder.files)
            files.append(QDir::toNativeSeparators(file));
        list.append(QJsonObject{{QStringLiteral("pid"), holder.pid > 0 ? QJsonValue(double(holder.pid)) : QJsonValue()},
                                {QStringLiteral("name"), ApplicationCheck::programText(FileHolders::Holder{0, holder.name, {}})},
                                {QStringLiteral("files"), files}});
    }
    return list;
}

// The longest wait --wait-for-application takes: a day.
constexpr int kMaxWaitSeconds = 86400;

} // namespace

ConsoleUpdater::ConsoleUpdater() = default;

ConsoleUpdater::~ConsoleUpdater() = default;

int ConsoleUpdater::exitCode(UpdateSequence::Outcome outcome)
{
    switch (outcome) {
    case UpdateSequence::Outcome::Succeeded:
        return ExitSuccess;
    case UpdateSequence::Outcome::VersionRefused:
        return ExitVersionRefused;
    case UpdateSequence::Outcome::FlagFailed:
        return ExitFlagFailed;
    case UpdateSequence::Outcome::InterruptedRestoreFailed:
        return ExitInterruptedRestoreFailed;
    case UpdateSequence::Outcome::BackupFailed:
        return ExitBackupFailed;
    case UpdateSequence::Outcome::UpdateFailedRestored:
        return ExitUpdateFailedRestored;
    case UpdateSequence::Outcome::UpdateFailedRestoreFailed:
        return ExitUpdateFailedRestoreFailed;
    case UpdateSequence::Outcome::AnotherUpdateRunning:
        return ExitAnotherUpdateRunning;
    case UpdateSequence::Outcome::PackageRefused:
        return ExitPackageRefused;
    case UpdateSequence::Outcome::NotEnoughSpace:
        return ExitNotEnoughSpace;
    case UpdateSequence::Outcome::DatabaseInUse:
        return ExitDatabaseInUse;
    case UpdateSequence::Outcome::PackageNotVerified:
        return ExitPackageNotVerified;
    case UpdateSequence::Outcome::DatabaseDamaged:
        return ExitDatabaseDamaged;
    }
    return ExitUpdateFailedRestoreFailed;
}

QString ConsoleUpdater::exitMeaning(int status)
{
    switch (status) {
    case ExitSuccess:
        return QStringLiteral("success");
    case ExitCheckFailed:
        return QStringLiteral("--check: the update would fail");
    case ExitBadInput:
        return QStringLiteral("bad input: command line, package directory or installation unusable");
    case ExitVersionRefused:
        return QStringLiteral("the package does not apply to the installed version; nothing was changed");
    case ExitInterruptedRestoreFailed:
        return QStringLiteral("an interrupted earlier update could not be undone; nothing else was done");
    case ExitBackupFailed:
        return QStringLiteral("the backup failed; nothing was updated");
    case ExitUpdateFailedRestored:
        return QStringLiteral("the update failed; the backup was put back");
    case ExitUpdateFailedRestoreFailed:
        return QStringLiteral("the update failed and the backup could not be put back");
    case ExitRestoreFailed:
        return QStringLiteral("--restore failed");
    case ExitFlagFailed:
        return QStringLiteral("the update flag could not be read or set; nothing was changed");
    case ExitPackageRefused:
        return QStringLiteral("the package failed the checks made before the backup; nothing was changed");
    case ExitAnotherUpdateRunning:
        return QStringLiteral("another update, restore or check of the installation is running; nothing was changed");
    case ExitNotEnoughSpace:
        return QStringLiteral("not enough free space for the backup and the package; nothing was changed");
    case ExitDatabaseInUse:
        return QStringLiteral("the application is running (another program holds the database or a program file "
                              "open); nothing was changed");
    case ExitPackageNotVerified:
        return QStringLiteral("the package's files or signature do not pass; nothing was changed");
    case ExitDatabaseDamaged:
        return QStringLiteral("the installation's database is damaged (repair or restore it, then update); nothing "
                              "was changed");
    }
    return QString();
}

QString ConsoleUpdater::stageId(UpdateSequence::Stage stage)
{
    switch (stage) {
    case UpdateSequence::Stage::CheckVersion:
        return QStringLiteral("check-version");
    case UpdateSequence::Stage::CheckPackage:
        return QStringLiteral("check-package");
    case UpdateSequence::Stage::CheckFlag:
        return QStringLiteral("check-flag");
    case UpdateSequence::Stage::RestoreInterrupted:
        return QStringLiteral("restore-interrupted");
    case UpdateSequence::Stage::Backup:
        return QStringLiteral("backup");
    case UpdateSequence::Stage::Execute:
        return QStringLiteral("execute");
    case UpdateSequence::Stage::RegistryAndShortcut:
        return QStringLiteral("registry-and-shortcut");
    case UpdateSequence::Stage::RestoreAfterFailure:
        return QStringLiteral("restore-after-failure");
    }
    return QString();
}

QString ConsoleUpdater::stageName(UpdateSequence::Stage stage)
{
    switch (stage) {
    case UpdateSequence::Stage::CheckVersion:
        return ConsoleText::tr("Checking the versions");
    case UpdateSequence::Stage::CheckFlag:
        return ConsoleText::tr("Checking the update flag");
    case UpdateSequence::Stage::RestoreInterrupted:
        return ConsoleText::tr("Restoring the backup of an interrupted update");
    case UpdateSequence::Stage::CheckPackage:
        return ConsoleText::tr("Checking the package and the installation");
    case UpdateSequence::Stage::Backup:
        return ConsoleText::tr("Backing up the installation");
    case UpdateSequence::Stage::Execute:
        return ConsoleText::tr("Applying the version steps");
    case UpdateSequence::Stage::RegistryAndShortcut:
        return ConsoleText::tr("Updating the uninstall entry and the shortcut");
    case UpdateSequence::Stage::RestoreAfterFailure:
        return ConsoleText::tr("Restoring the backup");
    }
    return QString();
}

QString ConsoleUpdater::text(int id)
{
    const QString loaded = getString(id);
    if (!loaded.isEmpty())
        return loaded;
    // Without a string table the window shows empty boxes; a console run that ends
    // without saying how would be worse.
    switch (id) {
    case 1073:
        return QStringLiteral("The previous version has been restored.");
    case 1074:
        return QStringLiteral("The previous version could not be restored.");
    case 1513:
        return QStringLiteral("This update cannot be applied to the installed version.");
    case 1514:
        return QStringLiteral("The update could not be completed.");
    case 1515:
        return QStringLiteral("The update was completed successfully.");
    default:
        return QString();
    }
}

void ConsoleUpdater::badInput(const QString &message)
{
    // Before the options are known there is no output yet; the texts may be Chinese
    // all the same, so they go out the same way.
    const QString line = QStringLiteral("%1: %2").arg(programName(), message);
    if (m_output)
        m_output->error(line);
    else
        ConsoleOutput(stdout, stderr, false, ConsoleOutput::Style::Lines).error(line);
}

void ConsoleUpdater::loadTexts(int lanType)
{
    const QString besideProgram = QStringLiteral("%1/string.bin").arg(QCoreApplication::applicationDirPath());
    const QString inPackage = QStringLiteral("string.bin");
    // The loader reports a missing file on standard output; the English texts stand in.
    if (QFileInfo::exists(besideProgram))
        ConsoleText::load(besideProgram, lanType);
    else if (QFileInfo::exists(inPackage))
        ConsoleText::load(inPackage, lanType);
    else
        ZRPubMethod::getInstance()->setLanType(lanType);
}

QString ConsoleUpdater::helpText()
{
    QString help;
    help += ConsoleText::tr("Usage: %1 [--lang N] [--quiet] [--report FILE] [--wait-for-application SECONDS] "
                            "[--check | --restore]")
                .arg(programName())
        + QLatin1Char('\n');
    help += QLatin1Char('\n');
    help += ConsoleText::tr("Updates the installed Corvane application (Ostrelle, Ketterin) from the update package in the\n"
                            "current directory: the stages of the updater window's Update button, without a window.\n"
                            "Reads version.ini and application/ from the current directory and writes\n"
                            "log/cvUpdaterlog_<date>.txt there. --restore also works outside a package; it then\n"
                            "writes the log into the installation's log/ directory.")
        + QLatin1Char('\n');
    help += QLatin1Char('\n');
    help += ConsoleText::tr("Options:") + QLatin1Char('\n');
    help += helpRow("--lang N", ConsoleText::tr("language of the messages and of the uninstall key tried first: 0 Chinese "
                                                "(Ketterin first), 1 English (Ostrelle first, the default), 2 Spanish"));
    help += helpRow("--check", ConsoleText::tr("dry run: check the package against the installation, change nothing "
                                               "anywhere, print each finding"));
    help += helpRow("--restore", ConsoleText::tr("put the backup of the last update back and exit"));
    help += helpRow("--quiet", ConsoleText::tr("print only problems and failures"));
    help += helpRow("--report FILE", ConsoleText::tr("write an account of the run as one JSON object to FILE: versions, "
                                                     "installation, stages with outcome and duration, the package's "
                                                     "signature, the --check findings, the exit status, the log file"));
    help += helpRow("--wait-for-application SECONDS",
                    ConsoleText::tr("when other programs (the application) hold the database or a program file "
                                    "open: name them and wait up to SECONDS for them to close before the update "
                                    "refuses with exit status 13 (default 0, no waiting)"));
    help += helpRow("-h, --help", ConsoleText::tr("print this help"));
    help += helpRow("-v, --version", ConsoleText::tr("print the program's version"));
    help += QLatin1Char('\n');
    help += ConsoleText::tr("Exit status:") + QLatin1Char('\n');
    const QString exitRows[] = {
        ConsoleText::tr("success (update, restore, or a check that found no problem)"),
        ConsoleText::tr("--check: the update would fail"),
        ConsoleText::tr("bad input: command line, package directory or installation unusable"),
        ConsoleText::tr("nothing to do: the installation already has the package's version or a newer one; "
                        "nothing was changed (also --check)"),
        ConsoleText::tr("an interrupted earlier update could not be undone; nothing else was done"),
        ConsoleText::tr("the backup failed; nothing was updated"),
        ConsoleText::tr("the update failed; the backup was put back"),
        ConsoleText::tr("the update failed and the backup could not be put back"),
        ConsoleText::tr("--restore failed"),
        ConsoleText::tr("the update flag (config/UPDATER.ini) could not be read or set; nothing was changed"),
        ConsoleText::tr("the package failed the checks made before the backup; nothing was changed"),
        ConsoleText::tr("another update, restore or check of the installation is running; nothing was changed"),
        ConsoleText::tr("not enough free space for the backup and the package; nothing was changed"),
        ConsoleText::tr("the application is running: another program holds the database or a program file open "
                        "(each is named); nothing was changed"),
        ConsoleText::tr("the package's files or signature do not pass (not whole, not signed by a trusted key); "
                        "nothing was changed"),
        ConsoleText::tr("the installation's database is damaged (repair or restore it, then update); nothing was "
                        "changed"),
    };
    int status = 0;
    for (const QString &row : exitRows)
        help += QStringLiteral(" %1  %2\n").arg(status++, 2).arg(row);
    return help;
}

int ConsoleUpdater::run(const QStringList &arguments)
{
    const int status = execute(arguments);
    if (m_report) {
        m_report->setExit(status, exitMeaning(status));
        if (!m_logDir.isEmpty() && !isLogWritten())
            m_report->setLogFile(QString());
        QString error;
        const bool written = m_report->write(m_reportPath, &error);
        m_report.reset();
        if (!written) {
            badInput(ConsoleText::tr("cannot write the report %1: %2").arg(m_reportPath, error));
            return status == ExitSuccess ? ExitBadInput : status;
        }
    }
    return status;
}

int ConsoleUpdater::execute(const QStringList &arguments)
{
    // The help is our own text, in the chosen language; the parser only reads.
    QCommandLineParser parser;
    const QCommandLineOption helpOption(QStringList{QStringLiteral("h"), QStringLiteral("help"), QStringLiteral("?")});
    const QCommandLineOption versionOption(QStringList{QStringLiteral("v"), QStringLiteral("version")});
    const QCommandLineOption langOption(QStringLiteral("lang"), QString(), QStringLiteral("N"), QStringLiteral("1"));
    const QCommandLineOption restoreOption(QStringLiteral("restore"));
    const QCommandLineOption checkOption(QStringLiteral("check"));
    const QCommandLineOption quietOption(QStringLiteral("quiet"));
    const QCommandLineOption reportOption(QStringLiteral("report"), QString(), QStringLiteral("FILE"));
    const QCommandLineOption waitOption(QStringLiteral("wait-for-application"), QString(), QStringLiteral("SECONDS"));
    parser.addOptions({helpOption, versionOption, langOption, restoreOption, checkOption, quietOption, reportOption,
                       waitOption});

    // The language comes first, so that even the complaints about the rest are in it;
    // the parser reads every option even when one of them is wrong.
    const bool parsed = parser.parse(arguments);
    bool isNumber = false;
    const QString langText = parser.value(langOption);
    const int lanType = langText.toInt(&isNumber, 10);
    const bool langValid = isNumber && lanType >= 0 && lanType < LAN_TYPE_MAX;
    loadTexts(langValid ? lanType : 1);

    if (!parsed) {
        const QStringList unknown = parser.unknownOptionNames();
        const QString last = arguments.size() > 1 ? arguments.constLast() : QString();
        // The other fault the parser knows: "--quiet=1".
        QString switchWithValue;
        for (const QString &argument : arguments.mid(1)) {
            const QString name = argument.section(QLatin1Char('='), 0, 0);
            if (argument.startsWith(QLatin1Char('-')) && argument.contains(QLatin1Char('='))
                && !name.endsWith(QLatin1String("lang"))) {
                switchWithValue = name;
                break;
            }
        }
        if (!unknown.isEmpty())
            badInput(ConsoleText::tr("unknown option \"%1\" (see --help)").arg(unknown.constFirst()));
        else if (last == QLatin1String("--lang") || last == QLatin1String("-lang"))
            badInput(ConsoleText::tr("--lang needs a language type from 0 to %1 (see --help)").arg(LAN_TYPE_MAX - 1));
        else if (!switchWithValue.isEmpty())
            badInput(ConsoleText::tr("the option %1 takes no value (see --help)").arg(switchWithValue));
        else // the parser's own words
            badInput(ConsoleText::tr("invalid command line: %1 (see --help)").arg(parser.errorText()));
        return ExitBadInput;
    }
    if (parser.isSet(helpOption)) {
        ConsoleOutput(stdout, stderr, false, ConsoleOutput::Style::Lines).info(helpText().chopped(1));
        return ExitSuccess;
    }
    if (parser.isSet(versionOption)) {
        std::printf("%s %s\n", QCoreApplication::applicationName().toLocal8Bit().constData(),
                    QCoreApplication::applicationVersion().toLocal8Bit().constData());
        return ExitSuccess;
    }
    if (!parser.positionalArguments().isEmpty()) {
        badInput(ConsoleText::tr("unexpected argument \"%1\" (see --help)").arg(parser.positionalArguments().constFirst()));
        return ExitBadInput;
    }
    if (!langValid) {
        badInput(ConsoleText::tr("--lang takes a language type from 0 to %1, not \"%2\"").arg(LAN_TYPE_MAX - 1).arg(langText));
        return ExitBadInput;
    }
    if (parser.isSet(waitOption)) {
        bool isSeconds = false;
        const QString waitText = parser.value(waitOption);
        m_waitSeconds = waitText.toInt(&isSeconds, 10);
        if (!isSeconds || m_waitSeconds < 0 || m_waitSeconds > kMaxWaitSeconds) {
            badInput(ConsoleText::tr("--wait-for-application takes a number of seconds from 0 to %1, not \"%2\"")
                         .arg(kMaxWaitSeconds)
                         .arg(waitText));
            return ExitBadInput;
        }
    }
    if (parser.isSet(restoreOption) && parser.isSet(checkOption)) {
        badInput(ConsoleText::tr("--restore and --check exclude each other"));
        return ExitBadInput;
    }
    m_mode = parser.isSet(checkOption) ? Mode::Check : parser.isSet(restoreOption) ? Mode::Restore : Mode::Update;
    if (parser.isSet(reportOption)) {
        // Relative to where the program was started, like every other path given to it.
        m_reportPath = QFileInfo(parser.value(reportOption)).absoluteFilePath();
        m_report = std::make_unique<RunReport>();
        m_report->setMode(m_mode == Mode::Check ? QStringLiteral("check")
                                                : m_mode == Mode::Restore ? QStringLiteral("restore") : QStringLiteral("update"));
        m_report->setPackage(QDir::currentPath(), QString());
    }
    m_output = std::make_unique<ConsoleOutput>(stdout, stderr, parser.isSet(quietOption));
    m_packageDir = QDir::currentPath();

    // Nothing, not even the log directory, is made in a directory that is no package.
    // A restore needs only the installation.
    const bool inPackage = isPackageDir();
    if (!inPackage && m_mode != Mode::Restore) {
        checkPackageDir();
        return ExitBadInput;
    }

    int result = ExitSuccess;
    if (m_mode == Mode::Check) {
        qInstallMessageHandler(discardMessages);
        result = runCheck();
    } else if (inPackage) {
        startLog(QStringLiteral("%1/%2").arg(m_packageDir, QStringLiteral("log")));
        CVUpdater::setProgramDir(m_packageDir);
        m_updater.reset(CVUpdater::getInstance());
        if (m_report) {
            m_report->setPackage(m_packageDir, m_updater->getNewVersion());
            m_report->setInstallation(m_updater->getInstallPath(), m_updater->getOldVersion(), m_updater->getRegKey());
            m_report->setLogFile(logFileShown());
        }
        if (!checkInstallation())
            result = ExitBadInput;
        else
            result = m_mode == Mode::Restore ? runRestore() : runUpdate();
        ZR_LOG_INFO("int ConsoleUpdater::run(const QStringList&)") << "exit status" << result;
    } else {
        // The log goes where the installation is, once it is found; until then the
        // update manager only reads the uninstall key, which an error names.
        qInstallMessageHandler(discardMessages);
        CVUpdater::setWithoutPackage(true);
        m_updater.reset(CVUpdater::getInstance());
        if (!checkInstallation()) {
            result = ExitBadInput;
        } else {
            startLog(QStringLiteral("%1/%2").arg(m_updater->getInstallPath(), QStringLiteral("log")));
            if (m_report) {
                m_report->setInstallation(m_updater->getInstallPath(), m_updater->getOldVersion(), m_updater->getRegKey());
                m_report->setLogFile(logFileShown());
            }
            result = runRestore();
            ZR_LOG_INFO("int ConsoleUpdater::run(const QStringList&)") << "exit status" << result;
        }
    }
    m_updater.reset();
    m_output.reset();
    return result;
}

void ConsoleUpdater::startLog(const QString &logDir)
{
    m_logDir = logDir;
    if (!QDir(logDir).exists() && !QDir().mkdir(logDir))
        badInput(ConsoleText::tr("cannot create %1, the run is not logged").arg(logDir));
    setLogDirectory(logDir);
    qInstallMessageHandler(logMessageHandler);
    ZR_LOG_INFO("void ConsoleUpdater::startLog()") << "Corvane Update Start-Up";
    ZR_LOG_INFO("void ConsoleUpdater::startLog()") << "options:" << QCoreApplication::arguments().mid(1);
}

bool ConsoleUpdater::isPackageDir() const
{
    // Opening a missing version.ini would create one.
    return QFileInfo(QStringLiteral("%1/%2").arg(m_packageDir, InstallLayout::packageRootName())).isDir()
        && QFileInfo(QStringLiteral("%1/version.ini").arg(m_packageDir)).isFile();
}

bool ConsoleUpdater::checkPackageDir()
{
    if (!QFileInfo(QStringLiteral("%1/%2").arg(m_packageDir, InstallLayout::packageRootName())).isDir()) {
        badInput(ConsoleText::tr("%1 is not an update package: it has no application/ directory (run the program "
                                 "from the package directory)")
                     .arg(m_packageDir));
        return false;
    }
    if (!QFileInfo(QStringLiteral("%1/version.ini").arg(m_packageDir)).isFile()) {
        badInput(ConsoleText::tr("%1 is not an update package: it has no version.ini").arg(m_packageDir));
        return false;
    }
    return true;
}

bool ConsoleUpdater::checkInstallation()
{
    const QString installPath = m_updater->getInstallPath();
    if (m_updater->getOldVersion().isEmpty() || installPath.isEmpty()) {
        QStringList keys;
        for (const char *name : {"Ostrelle", "Ketterin"}) {
            const QString key = InstallLayout::uninstallKey(QLatin1String(name));
            const QString file = RegistryStore::filePath(key);
            keys.append(file.isEmpty() ? key : QStringLiteral("%1 (%2)").arg(key, file));
        }
        badInput(ConsoleText::tr("no installation found: no uninstall key holds DisplayVersion and DisplayIcon; "
                                 "looked at %1 and %2")
                     .arg(keys.at(0), keys.at(1)));
        return false;
    }
    if (!QFileInfo(installPath).isDir()) {
        badInput(ConsoleText::tr("the installation directory %1 (DisplayIcon of %2) does not exist")
                     .arg(installPath, m_updater->getRegKey()));
        return false;
    }
    return true;
}

QString ConsoleUpdater::logFileShown() const
{
    return QDir::cleanPath(QDir(m_packageDir).filePath(logFilePath()));
}

bool ConsoleUpdater::isLogWritten() const
{
    return logFileWritten() && QFileInfo(logFileShown()).isFile();
}

QString ConsoleUpdater::detailsText() const
{
    // A read-only package directory, a "log" that is a file, a full disk: pointing to a
    // file that does not exist, or lacks lines, would send the reader looking for nothing.
    if (!isLogWritten())
        return ConsoleText::tr("The run could not be logged: %1 cannot be written.").arg(logFileShown());
    return ConsoleText::tr("Details: %1").arg(logFileShown());
}

void ConsoleUpdater::reportKeptDatabase()
{
    const QString kept = m_updater->keptDatabase();
    if (kept.isEmpty())
        return;
    // Before the result: whatever it says, the user's work is in that file.
    m_output->notice(UpdateSequence::keptDatabaseText(m_updater->databasePath(), kept));
    if (m_report)
        m_report->setKeptDatabase(QDir::toNativeSeparators(kept));
}

int ConsoleUpdater::runUpdate()
{
    const QString oldVersion = m_updater->getOldVersion();
    const QString newVersion = m_updater->getNewVersion();
    if (VersionOrder::isNewer(newVersion, oldVersion))
        m_output->info(ConsoleText::tr("Updating %1 from %2 to %3").arg(QDir::toNativeSeparators(m_updater->getInstallPath()), oldVersion, newVersion));
    else
        m_output->info(ConsoleText::tr("Installation %1: version %2; the package brings version %3")
                           .arg(QDir::toNativeSeparators(m_updater->getInstallPath()), oldVersion, newVersion));

    ConsoleObserver observer(m_output.get(), m_report.get());
    observer.setWaitSeconds(m_waitSeconds);
    UpdateSequence sequence(m_updater.get());
    sequence.setObserver(&observer);
    sequence.setWaitForApplication(m_waitSeconds);
    const UpdateSequence::Outcome outcome = sequence.run();

    const int result = exitCode(outcome);
    reportRemovals();
    const QString resultText = text(UpdateSequence::resultTextId(outcome));
    ZR_LOG_INFO("int ConsoleUpdater::runUpdate()") << "result:" << resultText;
    reportKeptDatabase();
    if (m_report) {
        m_report->setResult(resultText);
        if (!sequence.verification().signatureText.isEmpty())
            m_report->setSignature(signatureJson(sequence.verification()));
        m_report->setHolders(holdersJson(sequence.holders()));
        if (outcome == UpdateSequence::Outcome::Succeeded) {
            m_report->finishStage(QStringLiteral("ok"));
        } else if (outcome == UpdateSequence::Outcome::UpdateFailedRestored
                   || outcome == UpdateSequence::Outcome::UpdateFailedRestoreFailed) {
            // The open stage is the restore after the failed one.
            m_report->finishStage(outcome == UpdateSequence::Outcome::UpdateFailedRestored ? QStringLiteral("ok")
                                                                                          : QStringLiteral("failed"));
            m_report->setStageOutcome(stageId(sequence.failedStage()), QStringLiteral("failed"));
        } else {
            m_report->finishStage(QStringLiteral("ok"));
            m_report->setStageOutcome(stageId(sequence.failedStage()), QStringLiteral("failed"));
        }
    }
    if (outcome == UpdateSequence::Outcome::Succeeded) {
        m_output->result(resultText, true);
        // Done, but not all of it: said also when quiet.
        for (const QString &warning : m_updater->warnings()) {
            m_output->notice(ConsoleText::tr("Warning: %1").arg(warning));
            if (m_report)
                m_report->addWarning(warning);
        }
        return result;
    }

    m_output->result(resultText, false);
    const QString failed = stageName(sequence.failedStage());
    switch (outcome) {
    case UpdateSequence::Outcome::VersionRefused:
        if (oldVersion.isEmpty() || newVersion.isEmpty())
            m_output->error(ConsoleText::tr("The package has no version (RELEASE/VERSION in version.ini); nothing was "
                                            "changed."));
        else if (oldVersion == newVersion)
            m_output->error(ConsoleText::tr("The installation already has version %1, the package's version: nothing "
                                            "to do; nothing was changed.")
                                .arg(newVersion));
        else
            m_output->error(ConsoleText::tr("The package version \"%1\" does not follow the installed version \"%2\"; "
                                            "nothing was changed.")
                                .arg(newVersion, oldVersion));
        break;
    case UpdateSequence::Outcome::FlagFailed:
        m_output->error(ConsoleText::tr("The update flag %1 could not be read or set; nothing was changed.")
                            .arg(m_updater->getFlagFilePath()));
        break;
    case UpdateSequence::Outcome::InterruptedRestoreFailed:
        m_output->error(ConsoleText::tr("An earlier update was interrupted, and putting its backup %1 back failed; "
                                        "nothing else was done.")
                            .arg(m_updater->getBackupPath()));
        break;
    case UpdateSequence::Outcome::BackupFailed:
        m_output->error(ConsoleText::tr("The installation could not be backed up to %1; nothing was updated.")
                            .arg(m_updater->getBackupPath()));
        break;
    case UpdateSequence::Outcome::UpdateFailedRestored:
        m_output->error(ConsoleText::tr("Failed: %1. The backup was put back.").arg(failed));
        break;
    case UpdateSequence::Outcome::UpdateFailedRestoreFailed:
        m_output->error(ConsoleText::tr("Failed: %1, and the backup could not be put back: the installation may be "
                                        "incomplete. The next update puts the backup back first; so does --restore.")
                            .arg(failed));
        break;
    case UpdateSequence::Outcome::AnotherUpdateRunning:
        m_output->error(sequence.refusal().value(0));
        break;
    case UpdateSequence::Outcome::PackageRefused:
        m_output->error(ConsoleText::tr("The package was refused before anything was changed:"));
        for (const QString &reason : sequence.refusal())
            m_output->error(QStringLiteral("  %1").arg(reason));
        break;
    case UpdateSequence::Outcome::NotEnoughSpace:
        m_output->error(ConsoleText::tr("Not enough free space, nothing was changed: %1").arg(sequence.refusal().value(0)));
        break;
    case UpdateSequence::Outcome::DatabaseInUse:
        for (const QString &holder : sequence.refusal())
            m_output->error(ConsoleText::tr("The application must be closed first, nothing was changed: %1").arg(holder));
        break;
    case UpdateSequence::Outcome::PackageNotVerified:
        for (const QString &problem : sequence.refusal())
            m_output->error(QStringLiteral("  %1").arg(problem));
        m_output->error(ConsoleText::tr("The package was refused before anything was changed: it is not whole, or not "
                                        "signed by a key this installation trusts (%1).")
                            .arg(QDir::toNativeSeparators(TrustedKeys::filePath(m_updater->getInstallPath()))));
        break;
    case UpdateSequence::Outcome::DatabaseDamaged:
        for (const QString &reason : sequence.refusal())
            m_output->error(QStringLiteral("  %1").arg(reason));
        m_output->error(ConsoleText::tr("The installation's database is damaged: repair or restore it, then update; "
                                        "nothing was changed."));
        break;
    case UpdateSequence::Outcome::Succeeded:
        break;
    }
    m_output->error(detailsText());
    return result;
}

void ConsoleUpdater::reportRemovals()
{
    for (const StepRemovals::Result &step : m_updater->getUpdateObject()->removals()) {
        QStringList kept;
        for (const QString &path : step.removed)
            m_output->info(ConsoleText::tr("%1: removed %2").arg(step.step, path));
        for (const StepRemovals::Kept &entry : step.kept) {
            m_output->info(ConsoleText::tr("%1: kept %2 (%3)").arg(step.step, entry.path, StepRemovals::whyText(entry.why)));
            kept.append(entry.path);
        }
        if (m_report)
            m_report->addRemovals(step.step, step.removed, kept);
    }
}

bool ConsoleUpdater::lockInstallation(UpdateLock &lock)
{
    if (lock.tryLock() != UpdateLock::Result::Busy)
        return true;
    const QString message = UpdateSequence::anotherUpdateText(m_updater->getInstallPath(), lock.holder());
    ZR_LOG_WARNING("bool ConsoleUpdater::lockInstallation(UpdateLock&)") << message;
    m_output->error(message);
    return false;
}

int ConsoleUpdater::runRestore()
{
    UpdateLock lock(m_updater->getInstallPath());
    if (!lockInstallation(lock))
        return ExitAnotherUpdateRunning;
    m_output->stage(stageName(UpdateSequence::Stage::RestoreAfterFailure));
    if (m_report)
        m_report->startStage(QStringLiteral("restore"), stageName(UpdateSequence::Stage::RestoreAfterFailure));
    const bool restored = m_updater->restoreVersion();
    const QString resultText = text(restored ? 1073 : 1074);
    reportKeptDatabase();
    if (m_report) {
        m_report->finishStage(restored ? QStringLiteral("ok") : QStringLiteral("failed"));
        m_report->setResult(resultText);
    }
    ZR_LOG_INFO("int ConsoleUpdater::runRestore()") << "result:" << resultText;
    m_output->result(resultText, restored);
    if (restored)
        return ExitSuccess;
    if (!QFileInfo(m_updater->getBackupPath()).isDir())
        m_output->error(ConsoleText::tr("There is no backup %1.").arg(m_updater->getBackupPath()));
    m_output->error(detailsText());
    return ExitRestoreFailed;
}

int ConsoleUpdater::runCheck()
{
    // The update manager opens version.ini for writing: only a file that needs no
    // repair may be handed to it. The installation is looked for before anything is
    // printed, so that its absence is bad input like in the other modes.
    const QString versionFile = QStringLiteral("%1/version.ini").arg(m_packageDir);
    const bool versionValid = ConfigBase(versionFile, ConfigBase::Access::ReadOnly).isValid();
    if (versionValid) {
        CVUpdater::setProgramDir(m_packageDir);
        m_updater.reset(CVUpdater::getInstance());
        if (!checkInstallation())
            return ExitBadInput;
    }

    // Read-only, but what it reads must not change under it. A check of an installation
    // it cannot write (no lock file) goes on.
    std::unique_ptr<UpdateLock> lock;
    if (m_updater) {
        lock = std::make_unique<UpdateLock>(m_updater->getInstallPath());
        if (!lockInstallation(*lock))
            return ExitAnotherUpdateRunning;
        m_updater->refreshOldVersion();
    }

    ConsoleOutput *output = m_output.get();
    RunReport *report = m_report.get();
    PackageCheck check(m_packageDir);
    // "  ok       text": the word padded to one column in every language.
    const QString okWord = padded(ConsoleText::tr("ok"), 8);
    const QString noteWord = padded(ConsoleText::tr("note"), 8);
    const QString problemWord = padded(ConsoleText::tr("PROBLEM"), 8);
    check.setFindingListener([=](const PackageCheck::Finding &finding) {
        if (report)
            report->addFinding(finding.severity == PackageCheck::Severity::Ok     ? QStringLiteral("ok")
                               : finding.severity == PackageCheck::Severity::Note ? QStringLiteral("note")
                                                                                  : QStringLiteral("problem"),
                               finding.text);
        switch (finding.severity) {
        case PackageCheck::Severity::Ok:
            output->info(QStringLiteral("  %1 %2").arg(okWord, finding.text));
            break;
        case PackageCheck::Severity::Note:
            output->info(QStringLiteral("  %1 %2").arg(noteWord, finding.text));
            break;
        case PackageCheck::Severity::Problem:
            output->notice(QStringLiteral("  %1 %2").arg(problemWord, finding.text));
            break;
        }
    });

    m_output->info(ConsoleText::tr("Checking the package %1").arg(m_packageDir));
    if (m_report && m_updater) {
        m_report->setPackage(m_packageDir, m_updater->getNewVersion());
        m_report->setInstallation(m_updater->getInstallPath(), m_updater->getOldVersion(), m_updater->getRegKey());
    }
    if (m_report)
        m_report->startStage(QStringLiteral("check"), stageName(UpdateSequence::Stage::CheckPackage));
    if (check.checkVersionFile() && m_updater) {
        check.run(m_updater.get());
        if (m_report)
            m_report->setSignature(signatureJson(check.verification()));
    }
    if (m_report)
        m_report->finishStage(check.problemCount() == 0 ? QStringLiteral("ok") : QStringLiteral("failed"));

    const int problems = check.problemCount();
    if (problems == 0 && check.nothingToDo()) {
        const QString nothing = ConsoleText::tr("Nothing to do: the installation has version %1, the package version %2.")
                                    .arg(m_updater->getOldVersion(), m_updater->getNewVersion());
        m_output->info(nothing);
        if (m_report)
            m_report->setResult(nothing);
        return ExitVersionRefused;
    }
    if (problems == 0) {
        const QString passed = ConsoleText::tr("Check passed: the update from %1 to %2 would go through.")
                                   .arg(m_updater->getOldVersion(), m_updater->getNewVersion());
        m_output->info(passed);
        if (m_report)
            m_report->setResult(passed);
        return ExitSuccess;
    }
    const QString failed = problems == 1 ? ConsoleText::tr("Check found 1 problem: the update would fail.")
                                         : ConsoleText::tr("Check found %1 problems: the update would fail.").arg(problems);
    m_output->notice(failed);
    if (m_report)
        m_report->setResult(failed);
    return ExitCheckFailed;
}
