#ifndef CONSOLEUPDATER_H
#define CONSOLEUPDATER_H

#include <QString>
#include <QStringList>

#include <memory>

class ConsoleRun;
class QCommandLineParser;

// The updater without a window (corvane-updater-cli), for unattended updates: runs the
// Update button's stages (UpdateSequence) from the package directory, the process's
// current directory, and writes the same log file as the window. "version.ini" is read
// from the current directory too, so one installed copy of the program serves any
// package. --restore needs no package: run elsewhere, it logs into the installation's
// "log" directory.
//
//     corvane-updater-cli [--lang N] [--quiet] [--report FILE] [--wait-for-application SECONDS]
//                         [--check | --restore]
//
// This class reads the command line and hands the run to its command (UpdateCommand,
// RestoreCommand, CheckCommand). Every text it prints is a ConsoleText, in the language
// of --lang. The exit status tells the outcome (OutcomeTable); run() never exits the
// process itself.
class ConsoleUpdater
{
public:
    ConsoleUpdater();
    ~ConsoleUpdater();
    ConsoleUpdater(const ConsoleUpdater &) = delete;
    ConsoleUpdater &operator=(const ConsoleUpdater &) = delete;

    // arguments as QCoreApplication::arguments() gives them, program name first.
    int run(const QStringList &arguments);

private:
    enum class Mode { Update, Restore, Check };

    int execute(const QStringList &arguments);
    // The options into the members; the exit status when the run ends here (a fault,
    // --help, --version), else -1.
    int readOptions(const QCommandLineParser &parser, const QStringList &arguments, bool parsed);
    // Why the parser refused the command line, printed.
    void badCommandLine(const QCommandLineParser &parser, const QStringList &arguments);
    // --wait-for-application SECONDS; false (printed) when out of range.
    bool readWait(const QString &text);
    void startReport(const QString &path);
    // The command of the mode; the exit status.
    int dispatch(bool inPackage);
    // The texts: string.bin beside the program (it holds every text the program
    // prints), else the package's.
    static void loadTexts(int lanType);
    static QString helpText();

    Mode m_mode = Mode::Update;
    bool m_quiet = false;
    std::unique_ptr<ConsoleRun> m_run;
    // --report FILE, as an absolute path.
    QString m_reportPath;
};

#endif // CONSOLEUPDATER_H
