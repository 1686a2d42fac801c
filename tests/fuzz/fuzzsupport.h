#ifndef FUZZSUPPORT_H
#define FUZZSUPPORT_H

#include <QByteArray>
#include <QDateTime>
#include <QMap>
#include <QString>

#include <cstddef>
#include <cstdint>

// Scaffolding shared by the libFuzzer harnesses; none of it is program logic.
namespace FuzzSupport {

// Drops every Qt message: the code under test logs on most of its failure paths, and
// printing each one would cost more than the run itself. Fatal messages still abort.
// With CORVANE_FUZZ_VERBOSE=1 in the environment they are printed as usual.
void silenceMessages();

// A directory of this process's own below the temporary directory ($TMPDIR), removed at
// a normal exit. A crash leaves it behind for inspection.
QString scratchDir();

// Points HOME and the XDG directories below dir, so nothing outside it is read or written.
void redirectHome(const QString &dir);

// Writes bytes to path, replacing what was there, and gives it the modification time
// when one is given; false when the file cannot be written.
bool writeFile(const QString &path, const QByteArray &bytes, const QDateTime &modified = QDateTime());

// Every entry below dir by relative path: a file's bytes, or "<directory>".
QMap<QString, QByteArray> directoryContents(const QString &dir);

QByteArray toBytes(const uint8_t *data, size_t size);

// Runs in dir for its lifetime and goes back to where it was: libFuzzer resolves the
// corpus and artifact paths of its command line against the current directory.
class ScopedCurrentDir
{
public:
    explicit ScopedCurrentDir(const QString &dir);
    ~ScopedCurrentDir();

private:
    QString m_previous;
};

// Reports a broken property of the code under test as a crash, with the input kept.
[[noreturn]] void fail(const char *what, const QString &detail = QString());

} // namespace FuzzSupport

#define FUZZ_CHECK(condition, detail) \
    do { \
        if (!(condition)) \
            FuzzSupport::fail(#condition, detail); \
    } while (false)

#endif // FUZZSUPPORT_H
