#ifndef CONSOLEOUTPUT_H
#define CONSOLEOUTPUT_H

#include "platform/consolestream.h"

#include <QString>
#include <QTextStream>

#include <cstdio>

// What the console updater prints: stage names as the stages start, the progress the
// update reports and the final text on standard output; problems on standard error.
//
// On a terminal the progress is one bar redrawn in place ("\r"); otherwise (a pipe, a
// log file of a deployment tool) every change of the percentage is a line of its own,
// so nothing is overwritten. Quiet output shows only problems and failures.
class ConsoleOutput
{
public:
    enum class Style { Bar, Lines };

    // Style::Bar when standard output is a terminal.
    ConsoleOutput(FILE *out, FILE *err, bool quiet);
    ConsoleOutput(FILE *out, FILE *err, bool quiet, Style style);
    ~ConsoleOutput();
    ConsoleOutput(const ConsoleOutput &) = delete;
    ConsoleOutput &operator=(const ConsoleOutput &) = delete;

    static bool isTerminal(FILE *stream);

    Style style() const { return m_style; }
    bool isQuiet() const { return m_quiet; }

    void stage(const QString &name);
    // Adds an increment of the update's progress, capped at 100 like the window's bar.
    void addProgress(int increment);
    // Shows the update's progress (0 to 100); nothing when it has not changed.
    void setProgress(int value);
    int progress() const { return m_progress; }
    void resetProgress();

    // A line of normal output (skipped when quiet).
    void info(const QString &text);
    // A line of normal output, also when quiet (the problems a check reports).
    void notice(const QString &text);
    // A line on standard error, also when quiet.
    void error(const QString &text);
    // The outcome: on standard output for a success (skipped when quiet), on standard
    // error for a failure.
    void result(const QString &text, bool success);

private:
    void endBarLine();
    void drawBar();

    ConsoleStream m_outStream;
    ConsoleStream m_errStream;
    QTextStream m_out;
    QTextStream m_err;
    bool m_quiet;
    Style m_style;
    int m_progress = 0;
    bool m_barOpen = false;
};

#endif // CONSOLEOUTPUT_H
