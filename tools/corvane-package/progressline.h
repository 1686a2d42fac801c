#ifndef PROGRESSLINE_H
#define PROGRESSLINE_H

#include <QString>

#include <cstdio>

// Progress of a long step on standard error: one line redrawn in place on a terminal
// (at most every 1 %), nothing in between when the output goes to a file or a pipe.
class ProgressLine
{
public:
    explicit ProgressLine(FILE *stream);
    ~ProgressLine();
    ProgressLine(const ProgressLine &) = delete;
    ProgressLine &operator=(const ProgressLine &) = delete;

    void update(const QString &what, qint64 done, qint64 total);
    // Ends the line drawn, if any.
    void finish();

private:
    FILE *m_stream;
    bool m_terminal;
    int m_lastPercent = -1;
    bool m_drawn = false;
};

#endif // PROGRESSLINE_H
