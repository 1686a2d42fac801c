#include "cli/consoleupdater.h"

#include "context/zrpubmethod.h"
#include "cli/checkcommand.h"
#include "cli/consoleoutput.h"
#include "cli/consolerun.h"
#include "cli/restorecommand.h"
#include "cli/runreport.h"
#include "cli/updatecommand.h"
#include "driver/corestartup.h"
#include "driver/outcometable.h"
#include "log/applog.h"
#include "context/consoletext.h"
#include "context/stringtable.h"
#include "updater/cvupdater.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <cstdio>

namespace {

// "  --check    text": the option column padded, the text as translated.
QString helpRow(const char *option, const QString &text)
{
    return QStringLiteral("  %1 %2\n").arg(QString::fromLatin1(option).leftJustified(14), text);
}

// The longest wait --wait-for-application takes: a day.
constexpr int kMaxWaitSeconds = 86400;

} // namespace

ConsoleUpdater::ConsoleUpdater() = default;

ConsoleUpdater::~ConsoleUpdater() = default;

void ConsoleUpdater::loadTexts(int lanType)
{
    const QString besideProgram = QStringLiteral("%1/string.bin").arg(QCoreApplication::applicationDirPath());
    const QString inPackage = QStringLiteral("string.bin");
    // The loader reports a missing file on standard output; the English texts stand in.
    if (!CoreStartup::loadStringTable({besideProgram, inPackage}, lanType))
        ZRPubMethod::getInstance()->setLanType(lanType);
}

QString ConsoleUpdater::helpText()
{
    QString help;
    help += ConsoleText::tr("Usage: %1 [--lang N] [--quiet] [--report FILE] [--wait-for-application SECONDS] "
                            "[--check | --restore]")
                .arg(ConsoleRun::programName())
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
    for (const OutcomeTable::Row &row : OutcomeTable::rows())
        help += QStringLiteral(" %1  %2\n").arg(int(row.status), 2).arg(row.help);
    return help;
}

int ConsoleUpdater::run(const QStringList &arguments)
{
    m_run = std::make_unique<ConsoleRun>();
    const int status = execute(arguments);
    RunReport *report = m_run->report.get();
    if (report) {
        report->setExit(status, OutcomeTable::meaning(status));
        if (!m_run->logDir.isEmpty() && !m_run->isLogWritten())
            report->setLogFile(QString());
        QString error;
        const bool written = report->write(m_reportPath, &error);
        m_run->report.reset();
        if (!written) {
            m_run->badInput(ConsoleText::tr("cannot write the report %1: %2").arg(m_reportPath, error));
            return status == OutcomeTable::Success ? OutcomeTable::BadInput : status;
        }
    }
    return status;
}

int ConsoleUpdater::execute(const QStringList &arguments)
{
    // The help is our own text, in the chosen language; the parser only reads.
    QCommandLineParser parser;
    parser.addOptions({QCommandLineOption(QStringList{QStringLiteral("h"), QStringLiteral("help"), QStringLiteral("?")}),
                       QCommandLineOption(QStringList{QStringLiteral("v"), QStringLiteral("version")}),
                       QCommandLineOption(QStringLiteral("lang"), QString(), QStringLiteral("N"), QStringLiteral("1")),
                       QCommandLineOption(QStringLiteral("restore")), QCommandLineOption(QStringLiteral("check")),
                       QCommandLineOption(QStringLiteral("quiet")),
                       QCommandLineOption(QStringLiteral("report"), QString(), QStringLiteral("FILE")),
                       QCommandLineOption(QStringLiteral("wait-for-application"), QString(), QStringLiteral("SECONDS"))});
    // The parser reads every option even when one of them is wrong.
    const bool parsed = parser.parse(arguments);
    const int early = readOptions(parser, arguments, parsed);
    if (early >= 0)
        return early;

    m_run->output = std::make_unique<ConsoleOutput>(stdout, stderr, m_quiet);
    m_run->packageDir = QDir::currentPath();
    // Nothing, not even the log directory, is made in a directory that is no package.
    // A restore needs only the installation.
    const bool inPackage = CoreStartup::isPackageDirectory(m_run->packageDir);
    if (!inPackage && m_mode != Mode::Restore) {
        m_run->badInput(CoreStartup::packageDirectoryProblem(m_run->packageDir));
        return OutcomeTable::BadInput;
    }
    const int result = dispatch(inPackage);
    // Where no log was started, the messages are dropped (the check, a restore that found
    // no installation).
    ZR_LOG_INFO("int ConsoleUpdater::run(const QStringList&)") << "exit status" << result;
    m_run->updater.reset();
    m_run->output.reset();
    return result;
}

int ConsoleUpdater::dispatch(bool inPackage)
{
    switch (m_mode) {
    case Mode::Check:
        ConsoleRun::discardMessages();
        return CheckCommand(*m_run).run();
    case Mode::Restore:
        if (!inPackage)
            return RestoreCommand(*m_run).runOutsidePackage();
        return m_run->openInPackage() ? RestoreCommand(*m_run).run() : int(OutcomeTable::BadInput);
    case Mode::Update:
        break;
    }
    return m_run->openInPackage() ? UpdateCommand(*m_run).run() : int(OutcomeTable::BadInput);
}

int ConsoleUpdater::readOptions(const QCommandLineParser &parser, const QStringList &arguments, bool parsed)
{
    // The language comes first, so that even the complaints about the rest are in it.
    bool isNumber = false;
    const QString langText = parser.value(QStringLiteral("lang"));
    const int lanType = langText.toInt(&isNumber, 10);
    const bool langValid = isNumber && lanType >= 0 && lanType < LAN_TYPE_MAX;
    loadTexts(langValid ? lanType : 1);

    if (!parsed) {
        badCommandLine(parser, arguments);
        return OutcomeTable::BadInput;
    }
    if (parser.isSet(QStringLiteral("help"))) {
        ConsoleOutput(stdout, stderr, false, ConsoleOutput::Style::Lines).info(helpText().chopped(1));
        return OutcomeTable::Success;
    }
    if (parser.isSet(QStringLiteral("version"))) {
        std::printf("%s %s\n", QCoreApplication::applicationName().toLocal8Bit().constData(),
                    QCoreApplication::applicationVersion().toLocal8Bit().constData());
        return OutcomeTable::Success;
    }
    if (!parser.positionalArguments().isEmpty()) {
        m_run->badInput(
            ConsoleText::tr("unexpected argument \"%1\" (see --help)").arg(parser.positionalArguments().constFirst()));
        return OutcomeTable::BadInput;
    }
    if (!langValid) {
        m_run->badInput(
            ConsoleText::tr("--lang takes a language type from 0 to %1, not \"%2\"").arg(LAN_TYPE_MAX - 1).arg(langText));
        return OutcomeTable::BadInput;
    }
    if (parser.isSet(QStringLiteral("wait-for-application")) && !readWait(parser.value(QStringLiteral("wait-for-application"))))
        return OutcomeTable::BadInput;
    const bool restore = parser.isSet(QStringLiteral("restore"));
    const bool check = parser.isSet(QStringLiteral("check"));
    if (restore && check) {
        m_run->badInput(ConsoleText::tr("--restore and --check exclude each other"));
        return OutcomeTable::BadInput;
    }
    m_mode = check ? Mode::Check : restore ? Mode::Restore : Mode::Update;
    m_quiet = parser.isSet(QStringLiteral("quiet"));
    if (parser.isSet(QStringLiteral("report")))
        startReport(parser.value(QStringLiteral("report")));
    return -1;
}

void ConsoleUpdater::badCommandLine(const QCommandLineParser &parser, const QStringList &arguments)
{
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
        m_run->badInput(ConsoleText::tr("unknown option \"%1\" (see --help)").arg(unknown.constFirst()));
    else if (last == QLatin1String("--lang") || last == QLatin1String("-lang"))
        m_run->badInput(ConsoleText::tr("--lang needs a language type from 0 to %1 (see --help)").arg(LAN_TYPE_MAX - 1));
    else if (!switchWithValue.isEmpty())
        m_run->badInput(ConsoleText::tr("the option %1 takes no value (see --help)").arg(switchWithValue));
    else // the parser's own words
        m_run->badInput(ConsoleText::tr("invalid command line: %1 (see --help)").arg(parser.errorText()));
}

bool ConsoleUpdater::readWait(const QString &text)
{
    bool isSeconds = false;
    m_run->waitSeconds = text.toInt(&isSeconds, 10);
    if (isSeconds && m_run->waitSeconds >= 0 && m_run->waitSeconds <= kMaxWaitSeconds)
        return true;
    m_run->badInput(ConsoleText::tr("--wait-for-application takes a number of seconds from 0 to %1, not \"%2\"")
                        .arg(kMaxWaitSeconds)
                        .arg(text));
    return false;
}

void ConsoleUpdater::startReport(const QString &path)
{
    // Relative to where the program was started, like every other path given to it.
    m_reportPath = QFileInfo(path).absoluteFilePath();
    m_run->report = std::make_unique<RunReport>();
    m_run->report->setMode(m_mode == Mode::Check     ? QStringLiteral("check")
                           : m_mode == Mode::Restore ? QStringLiteral("restore")
                                                     : QStringLiteral("update"));
    m_run->report->setPackage(QDir::currentPath(), QString());
}
