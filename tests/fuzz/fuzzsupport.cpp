#include "fuzzsupport.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtGlobal>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace FuzzSupport {

namespace {

void dropMessage(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtFatalMsg) {
        std::fprintf(stderr, "qFatal: %s\n", qPrintable(message));
        std::abort();
    }
}

} // namespace

void silenceMessages()
{
    // CORVANE_FUZZ_VERBOSE=1 keeps them, for looking into one input.
    if (qEnvironmentVariableIntValue("CORVANE_FUZZ_VERBOSE") == 0)
        qInstallMessageHandler(dropMessage);
}

QString scratchDir()
{
    static const std::unique_ptr<QTemporaryDir> dir(new QTemporaryDir());
    if (!dir->isValid())
        fail("scratch directory", dir->errorString());
    return dir->path();
}

void redirectHome(const QString &dir)
{
    const auto set = [&dir](const char *name, const QString &relative) {
        const QString path = dir + relative;
        if (!QDir().mkpath(path))
            fail("create home directory", path);
        qputenv(name, QFile::encodeName(path));
    };
    set("HOME", QString());
    set("XDG_CONFIG_HOME", QStringLiteral("/.config"));
    set("XDG_DATA_HOME", QStringLiteral("/.local/share"));
    set("XDG_CACHE_HOME", QStringLiteral("/.cache"));
    set("XDG_RUNTIME_DIR", QStringLiteral("/run"));
    QFile::setPermissions(dir + QStringLiteral("/run"),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

bool writeFile(const QString &path, const QByteArray &bytes, const QDateTime &modified)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        return false;
    return !modified.isValid() || file.setFileTime(modified, QFileDevice::FileModificationTime);
}

ScopedCurrentDir::ScopedCurrentDir(const QString &dir)
    : m_previous(QDir::currentPath())
{
    if (!QDir::setCurrent(dir))
        fail("enter directory", dir);
}

ScopedCurrentDir::~ScopedCurrentDir()
{
    QDir::setCurrent(m_previous);
}

QMap<QString, QByteArray> directoryContents(const QString &dir)
{
    QMap<QString, QByteArray> contents;
    const QDir root(dir);
    QDirIterator it(dir, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo entry(it.next());
        QByteArray bytes = QByteArrayLiteral("<directory>");
        if (!entry.isDir()) {
            QFile file(entry.filePath());
            if (!file.open(QIODevice::ReadOnly))
                fail("read", entry.filePath());
            bytes = file.readAll();
        }
        contents.insert(root.relativeFilePath(entry.filePath()), bytes);
    }
    return contents;
}

QByteArray toBytes(const uint8_t *data, size_t size)
{
    return QByteArray(reinterpret_cast<const char *>(data), int(size));
}

void fail(const char *what, const QString &detail)
{
    std::fprintf(stderr, "==fuzz== property broken: %s %s\n", what, qPrintable(detail));
    std::fflush(stderr);
    std::abort();
}

} // namespace FuzzSupport
