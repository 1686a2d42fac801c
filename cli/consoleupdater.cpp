#include "cli/consoleupdater.h"

#include "cli/consoleoutput.h"
#include "check/packagecheck.h"
#include "app/zrpubmethod.h"
#include "config/configbase.h"
#include "log/applog.h"
#include "log/logmessagehandler.h"
#include "platform/registrystore.h"
#include "strings/stringtable.h"
#include "updater/cvupdater.h"

#include <QCommandLineParser>
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

QString description()
{
    return QStringLiteral(
        "Updates the installed Corvane application (Ostrelle, Ketterin) from the update package in the\n"
        "current directory: the stages of the updater window's Update button, without a window.\n"
        "Reads version.ini, string.bin and application/ from the current directory and writes\n"
        "log/cvUpdaterlog_<date>.txt there.\n"
        "\n"
        "Exit status:\n"
        "  0  success (update, restore, or a check that found no problem)\n"
        "  1  --check: the update would fail\n"
        "  2  bad input: command line, package directory or installation unusable\n"
        "  3  the package does not apply to the installed version; nothing was changed\n"
        "  4  an interrupted earlier update could not be undone; nothing else was done\n"
        "  5  the backup failed; nothing was updated\n"
        "  6  the update failed; the backup was put back\n"
        "  7  the update failed and the backup could not be put back\n"
        "  8  --restore failed\n"
        "  9  the update flag (config/UPDATER.ini) could not be read or set; nothing was changed");
}

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
    }
    return ExitUpdateFailedRestoreFailed;
}

QString ConsoleUpdater::stageName(UpdateSequence::Stage stage)
{
    switch (stage) {
    case UpdateSequence::Stage::CheckVersion:
        return QStringLiteral("Checking the versions");
    case UpdateSequence::Stage::CheckFlag:
        return QStringLiteral("Checking the update flag");
    case UpdateSequence::Stage::RestoreInterrupted:
        return QStringLiteral("Restoring the backup of an interrupted update");
    case UpdateSequence::Stage::Backup:
        return QStringLiteral("Backing up the installation");
    case UpdateSequence::Stage::Execute:
        return QStringLiteral("Applying the version steps");
    case UpdateSequence::Stage::RegistryAndShortcut:
        return QStringLiteral("Updating the uninstall entry and the shortcut");
    case UpdateSequence::Stage::RestoreAfterFailure:
        return QStringLiteral("Restoring the backup");
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
    if (m_output)
        m_output->error(QStringLiteral("corvane-updater-cli: %1").arg(message));
    else
        std::fprintf(stderr, "corvane-updater-cli: %s\n", message.toLocal8Bit().constData());
}

int ConsoleUpdater::run(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(description());
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption versionOption = parser.addVersionOption();
    const QCommandLineOption langOption(
        QStringLiteral("lang"),
        QStringLiteral("Language type of the messages and of the uninstall key tried first: 0 Chinese "
                       "(Ketterin first), 1 English (Ostrelle first, the default), 2 Spanish."),
        QStringLiteral("N"), QStringLiteral("1"));
    const QCommandLineOption restoreOption(QStringLiteral("restore"),
                                           QStringLiteral("Put the backup of the last update back and exit."));
    const QCommandLineOption checkOption(
        QStringLiteral("check"),
        QStringLiteral("Dry run: check the package against the installation, change nothing anywhere, print "
                       "each finding; exit status 1 when the update would fail."));
    const QCommandLineOption quietOption(QStringLiteral("quiet"),
                                         QStringLiteral("Print only problems and failures."));
    parser.addOptions({langOption, restoreOption, checkOption, quietOption});

    if (!parser.parse(arguments)) {
        badInput(QStringLiteral("%1 (see --help)").arg(parser.errorText()));
        return ExitBadInput;
    }
    if (parser.isSet(helpOption)) {
        std::fputs(parser.helpText().toLocal8Bit().constData(), stdout);
        return ExitSuccess;
    }
    if (parser.isSet(versionOption)) {
        std::printf("%s %s\n", QCoreApplication::applicationName().toLocal8Bit().constData(),
                    QCoreApplication::applicationVersion().toLocal8Bit().constData());
        return ExitSuccess;
    }
    if (!parser.positionalArguments().isEmpty()) {
        badInput(QStringLiteral("unexpected argument \"%1\" (see --help)").arg(parser.positionalArguments().constFirst()));
        return ExitBadInput;
    }
    bool isNumber = false;
    const QString langText = parser.value(langOption);
    const int lanType = langText.toInt(&isNumber, 10);
    if (!isNumber || lanType < 0 || lanType >= LAN_TYPE_MAX) {
        badInput(QStringLiteral("--lang takes a language type from 0 to %1, not \"%2\"").arg(LAN_TYPE_MAX - 1).arg(langText));
        return ExitBadInput;
    }
    if (parser.isSet(restoreOption) && parser.isSet(checkOption)) {
        badInput(QStringLiteral("--restore and --check exclude each other"));
        return ExitBadInput;
    }
    m_mode = parser.isSet(checkOption) ? Mode::Check : parser.isSet(restoreOption) ? Mode::Restore : Mode::Update;
    m_output = std::make_unique<ConsoleOutput>(stdout, stderr, parser.isSet(quietOption));
    m_packageDir = QDir::currentPath();

    // The language decides the string table's block and which uninstall key is tried
    // first, so it is set before either is read.
    ZRPubMethod *context = ZRPubMethod::getInstance();
    context->setLanType(lanType);
    // Nothing, not even the log directory, is made in a directory that is no package.
    if (!checkPackageDir())
        return ExitBadInput;
    if (m_mode == Mode::Check)
        qInstallMessageHandler(discardMessages);
    else
        startLog();
    // The loader reports a missing file on standard output; the English texts stand in.
    if (QFileInfo::exists(QStringLiteral("string.bin")))
        context->loadStringTable();
    QCoreApplication::addLibraryPath(QStringLiteral("%1%2").arg(m_packageDir, QStringLiteral("/sqldrivers")));

    int result = ExitSuccess;
    if (m_mode == Mode::Check) {
        result = runCheck();
    } else {
        CVUpdater::setProgramDir(m_packageDir);
        m_updater.reset(CVUpdater::getInstance());
        if (!checkInstallation())
            result = ExitBadInput;
        else
            result = m_mode == Mode::Restore ? runRestore() : runUpdate();
        ZR_LOG_INFO("int ConsoleUpdater::run(const QStringList&)") << "exit status" << result;
    }
    m_updater.reset();
    m_output.reset();
    return result;
}

void ConsoleUpdater::startLog()
{
    const QString logDir = QStringLiteral("%1/%2").arg(m_packageDir, QStringLiteral("log"));
    if (!QDir(logDir).exists() && !QDir().mkdir(logDir))
        m_output->error(QStringLiteral("corvane-updater-cli: cannot create %1, the run is not logged").arg(logDir));
    qInstallMessageHandler(logMessageHandler);
    ZR_LOG_INFO("void ConsoleUpdater::startLog()") << "Corvane Update Start-Up";
    ZR_LOG_INFO("void ConsoleUpdater::startLog()") << "options:" << QCoreApplication::arguments().mid(1);
}

bool ConsoleUpdater::checkPackageDir()
{
    if (!QFileInfo(QStringLiteral("%1/application").arg(m_packageDir)).isDir()) {
        badInput(QStringLiteral("%1 is not an update package: it has no application/ directory (run the program "
                                "from the package directory)")
                     .arg(m_packageDir));
        return false;
    }
    // Opening a missing version.ini would create one.
    if (!QFileInfo(QStringLiteral("%1/version.ini").arg(m_packageDir)).isFile()) {
        badInput(QStringLiteral("%1 is not an update package: it has no version.ini").arg(m_packageDir));
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
            const QString key = QStringLiteral("HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\"
                                               "Uninstall\\%1")
                                    .arg(QLatin1String(name));
            const QString file = RegistryStore::filePath(key);
            keys.append(file.isEmpty() ? key : QStringLiteral("%1 (%2)").arg(key, file));
        }
        badInput(QStringLiteral("no installation found: no uninstall key holds DisplayVersion and DisplayIcon; "
                                "looked at %1")
                     .arg(keys.join(QStringLiteral(" and "))));
        return false;
    }
    if (!QFileInfo(installPath).isDir()) {
        badInput(QStringLiteral("the installation directory %1 (DisplayIcon of %2) does not exist")
                     .arg(installPath, m_updater->getRegKey()));
        return false;
    }
    return true;
}

int ConsoleUpdater::runUpdate()
{
    m_output->info(QStringLiteral("Updating %1 from %2 to %3")
                       .arg(m_updater->getInstallPath(), m_updater->getOldVersion(), m_updater->getNewVersion()));

    ConsoleOutput *output = m_output.get();
    const QMetaObject::Connection progress = QObject::connect(
        m_updater.get(), &CVUpdater::sigProcessAddValue, m_updater.get(), [output](int value) { output->addProgress(value); });

    UpdateSequence sequence(m_updater.get());
    sequence.setStageListener([output](UpdateSequence::Stage stage) {
        output->stage(stageName(stage));
        // The lines the window's Update button writes before these stages.
        const char *message = nullptr;
        switch (stage) {
        case UpdateSequence::Stage::CheckVersion:
            message = "check version";
            break;
        case UpdateSequence::Stage::CheckFlag:
            message = "check update flag";
            break;
        case UpdateSequence::Stage::Backup:
            message = "backup old version";
            break;
        case UpdateSequence::Stage::Execute:
            message = "exec update";
            break;
        case UpdateSequence::Stage::RegistryAndShortcut:
            message = "update regedit and shortcut";
            break;
        case UpdateSequence::Stage::RestoreInterrupted:
        case UpdateSequence::Stage::RestoreAfterFailure:
            break;
        }
        if (message)
            ZR_LOG_DEBUG("int ConsoleUpdater::runUpdate()") << message;
    });
    const UpdateSequence::Outcome outcome = sequence.run();
    QObject::disconnect(progress);

    const int result = exitCode(outcome);
    const QString resultText = text(UpdateSequence::resultTextId(outcome));
    ZR_LOG_INFO("int ConsoleUpdater::runUpdate()") << "result:" << resultText;
    if (outcome == UpdateSequence::Outcome::Succeeded) {
        m_output->result(resultText, true);
        return result;
    }

    m_output->result(resultText, false);
    const QString failed = stageName(sequence.failedStage());
    switch (outcome) {
    case UpdateSequence::Outcome::VersionRefused:
        m_output->error(QStringLiteral("The package version \"%1\" does not follow the installed version \"%2\"; "
                                       "nothing was changed.")
                            .arg(m_updater->getNewVersion(), m_updater->getOldVersion()));
        break;
    case UpdateSequence::Outcome::FlagFailed:
        m_output->error(QStringLiteral("The update flag %1 could not be read or set; nothing was changed.")
                            .arg(m_updater->getFlagFilePath()));
        break;
    case UpdateSequence::Outcome::InterruptedRestoreFailed:
        m_output->error(QStringLiteral("An earlier update was interrupted, and putting its backup %1 back failed; "
                                       "nothing else was done.")
                            .arg(m_updater->getBackupPath()));
        break;
    case UpdateSequence::Outcome::BackupFailed:
        m_output->error(QStringLiteral("The installation could not be backed up to %1; nothing was updated.")
                            .arg(m_updater->getBackupPath()));
        break;
    case UpdateSequence::Outcome::UpdateFailedRestored:
        m_output->error(QStringLiteral("Failed: %1. The backup was put back.").arg(failed));
        break;
    case UpdateSequence::Outcome::UpdateFailedRestoreFailed:
        m_output->error(QStringLiteral("Failed: %1, and the backup could not be put back: the installation may be "
                                       "incomplete. The next update puts the backup back first; so does --restore.")
                            .arg(failed));
        break;
    case UpdateSequence::Outcome::Succeeded:
        break;
    }
    m_output->error(QStringLiteral("Details: %1").arg(QDir::cleanPath(QDir(m_packageDir).filePath(logFilePath()))));
    return result;
}

int ConsoleUpdater::runRestore()
{
    m_output->stage(stageName(UpdateSequence::Stage::RestoreAfterFailure));
    const bool restored = m_updater->restoreVersion();
    const QString resultText = text(restored ? 1073 : 1074);
    ZR_LOG_INFO("int ConsoleUpdater::runRestore()") << "result:" << resultText;
    m_output->result(resultText, restored);
    if (restored)
        return ExitSuccess;
    if (!QFileInfo(m_updater->getBackupPath()).isDir())
        m_output->error(QStringLiteral("There is no backup %1.").arg(m_updater->getBackupPath()));
    m_output->error(QStringLiteral("Details: %1").arg(QDir::cleanPath(QDir(m_packageDir).filePath(logFilePath()))));
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

    ConsoleOutput *output = m_output.get();
    PackageCheck check(m_packageDir);
    check.setFindingListener([output](const PackageCheck::Finding &finding) {
        switch (finding.severity) {
        case PackageCheck::Severity::Ok:
            output->info(QStringLiteral("  ok       %1").arg(finding.text));
            break;
        case PackageCheck::Severity::Note:
            output->info(QStringLiteral("  note     %1").arg(finding.text));
            break;
        case PackageCheck::Severity::Problem:
            output->notice(QStringLiteral("  PROBLEM  %1").arg(finding.text));
            break;
        }
    });

    m_output->info(QStringLiteral("Checking the package %1").arg(m_packageDir));
    if (check.checkVersionFile() && m_updater)
        check.run(m_updater.get());

    const int problems = check.problemCount();
    if (problems == 0) {
        m_output->info(QStringLiteral("Check passed: the update from %1 to %2 would go through.")
                           .arg(m_updater->getOldVersion(), m_updater->getNewVersion()));
        return ExitSuccess;
    }
    m_output->notice(problems == 1 ? QStringLiteral("Check found 1 problem: the update would fail.")
                                   : QStringLiteral("Check found %1 problems: the update would fail.").arg(problems));
    return ExitCheckFailed;
}
