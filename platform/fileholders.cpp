#include "platform/fileholders.h"

#include "log/applog.h"

#include <QMap>

#include <algorithm>

#ifdef Q_OS_WIN
#include "platform/fileinuse.h"

#include <QDir>
#include <qt_windows.h>
#include <restartmanager.h>

#include <string>
#include <vector>
#elif defined(Q_OS_LINUX)
#include <QFile>
#include <QHash>
#include <QPair>
#include <QSet>

#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#endif

namespace {

// Collects the holders by process; a process is listed once, whatever it holds.
class HolderList
{
public:
    explicit HolderList(const QStringList &paths)
        : m_paths(paths)
    {
    }

    void add(qint64 pid, const QString &name, int pathIndex)
    {
        FileHolders::Holder &holder = m_holders[pid];
        holder.pid = pid;
        if (holder.name.isEmpty())
            holder.name = name;
        m_held[pid].append(pathIndex);
    }

    QList<FileHolders::Holder> result() const
    {
        QList<FileHolders::Holder> list;
        for (auto it = m_holders.constBegin(); it != m_holders.constEnd(); ++it) {
            FileHolders::Holder holder = it.value();
            QList<int> held = m_held.value(it.key());
            std::sort(held.begin(), held.end());
            held.erase(std::unique(held.begin(), held.end()), held.end());
            for (int index : qAsConst(held))
                holder.files.append(m_paths.at(index));
            list.append(holder);
        }
        return list;
    }

private:
    const QStringList &m_paths;
    QMap<qint64, FileHolders::Holder> m_holders;
    QMap<qint64, QList<int>> m_held;
};

#ifdef Q_OS_LINUX

using FileKey = QPair<quint64, quint64>; // device, inode

QString processName(const QString &pid)
{
    QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
    if (!comm.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromLocal8Bit(comm.readAll()).trimmed();
}

// The device and inode of what a /proc link or a path leads to.
bool keyOf(const QByteArray &path, FileKey *key)
{
    struct stat info;
    if (::stat(path.constData(), &info) != 0)
        return false;
    *key = FileKey(quint64(info.st_dev), quint64(info.st_ino));
    return true;
}

// "08:01" of /proc/<pid>/maps and /proc/locks: major and minor in hex.
bool parseDevice(const QByteArray &text, quint64 *device)
{
    const int colon = text.indexOf(':');
    bool majorOk = false;
    bool minorOk = false;
    const uint major = text.left(colon).toUInt(&majorOk, 16);
    const uint minor = text.mid(colon + 1).toUInt(&minorOk, 16);
    if (colon < 0 || !majorOk || !minorOk)
        return false;
    *device = quint64(makedev(major, minor));
    return true;
}

// The program, the open files and the mapped files (libraries) of one process.
void scanProcess(const QByteArray &pid, const QHash<FileKey, int> &wanted, QList<int> *found)
{
    const QByteArray base = "/proc/" + pid;
    FileKey key;
    if (keyOf(base + "/exe", &key) && wanted.contains(key))
        found->append(wanted.value(key));

    // Another user's process: its files cannot be read, its locks are still seen.
    if (DIR *fds = ::opendir((base + "/fd").constData())) {
        while (const dirent *entry = ::readdir(fds)) {
            if (entry->d_name[0] == '.')
                continue;
            if (keyOf(base + "/fd/" + entry->d_name, &key) && wanted.contains(key))
                found->append(wanted.value(key));
        }
        ::closedir(fds);
    }

    QFile maps(QString::fromLatin1(base + "/maps"));
    if (maps.open(QIODevice::ReadOnly)) {
        // "start-end perms offset dev inode path"
        const QList<QByteArray> lines = maps.readAll().split('\n');
        for (const QByteArray &line : lines) {
            const QList<QByteArray> fields = line.simplified().split(' ');
            quint64 device = 0;
            bool inodeOk = false;
            if (fields.size() < 6 || !parseDevice(fields.at(3), &device))
                continue;
            const quint64 inode = fields.at(4).toULongLong(&inodeOk);
            if (inodeOk && inode != 0 && wanted.contains(FileKey(device, inode)))
                found->append(wanted.value(FileKey(device, inode)));
        }
    }
}

// Every other process's program, open files and mapped files among wanted.
bool scanProcesses(const QHash<FileKey, int> &wanted, const QByteArray &self, HolderList *holders)
{
    DIR *proc = ::opendir("/proc");
    if (!proc)
        return false;
    while (const dirent *entry = ::readdir(proc)) {
        const QByteArray pid(entry->d_name);
        bool isNumber = false;
        pid.toLongLong(&isNumber);
        if (!isNumber || pid == self)
            continue;
        QList<int> found;
        scanProcess(pid, wanted, &found);
        // A process that ended meanwhile has no name any more: nothing of it is left open.
        const QString name = found.isEmpty() ? QString() : processName(QString::fromLatin1(pid));
        for (int index : qAsConst(found))
            holders->add(pid.toLongLong(), name, index);
    }
    ::closedir(proc);
    return true;
}

// What this process has open itself: a lock listed without its process (an open file
// description's lock) on such a file may be its own.
QSet<FileKey> ownFiles()
{
    QSet<FileKey> files;
    if (DIR *fds = ::opendir("/proc/self/fd")) {
        while (const dirent *entry = ::readdir(fds)) {
            FileKey key;
            if (entry->d_name[0] != '.' && keyOf(QByteArray("/proc/self/fd/") + entry->d_name, &key))
                files.insert(key);
        }
        ::closedir(fds);
    }
    return files;
}

// SQLite's locks (a reader in WAL mode holds one in the "-shm" file), of every user:
// "1: POSIX  ADVISORY  READ 4242 08:01:1234 128 128". A waiter's line starts "1: ->".
// Read from the list, never by opening the file here: closing a descriptor would drop
// the locks this process's own SQLite connections hold on it.
void scanLocks(const QHash<FileKey, int> &wanted, const QByteArray &self, HolderList *holders)
{
    QFile locks(QStringLiteral("/proc/locks"));
    if (!locks.open(QIODevice::ReadOnly))
        return;
    const QSet<FileKey> own = ownFiles();
    const QList<QByteArray> lines = locks.readAll().split('\n');
    for (const QByteArray &line : lines) {
        QList<QByteArray> fields = line.simplified().split(' ');
        fields.removeAll("->");
        if (fields.size() < 8)
            continue;
        const QByteArray &pid = fields.at(4);
        const QList<QByteArray> file = fields.at(5).split(':');
        quint64 device = 0;
        bool inodeOk = false;
        if (file.size() != 3 || !parseDevice(file.at(0) + ':' + file.at(1), &device))
            continue;
        const FileKey key(device, file.at(2).toULongLong(&inodeOk));
        if (!inodeOk || !wanted.contains(key) || pid == self)
            continue;
        // An open file description's lock (OFDLCK) is listed without its process.
        const qint64 id = qMax<qint64>(0, pid.toLongLong());
        if (id == 0 && own.contains(key))
            continue;
        holders->add(id, id > 0 ? processName(QString::fromLatin1(pid)) : QString(), wanted.value(key));
    }
}

void findHolders(const QStringList &paths, HolderList *holders)
{
    QHash<FileKey, int> wanted;
    for (int i = 0; i < paths.size(); ++i) {
        FileKey key;
        if (keyOf(QFile::encodeName(paths.at(i)), &key) && !wanted.contains(key))
            wanted.insert(key, i);
    }
    if (wanted.isEmpty())
        return;
    const QByteArray self = QByteArray::number(qint64(::getpid()));
    if (!scanProcesses(wanted, self, holders)) {
        ZR_LOG_WARNING("static QList<FileHolders::Holder> FileHolders::find(const QStringList&)") << "cannot read /proc";
        return;
    }
    scanLocks(wanted, self, holders);
}

#elif defined(Q_OS_WIN)

// The processes the Restart Manager names as holders of the file at pathIndex; true
// when it names one besides this process, *onlySelf when it names this one alone.
bool addRestartManagerHolders(const QString &path, int pathIndex, DWORD self, HolderList *holders, bool *onlySelf)
{
    bool named = false;
    DWORD session = 0;
    WCHAR key[CCH_RM_SESSION_KEY + 1] = {};
    if (RmStartSession(&session, 0, key) != ERROR_SUCCESS)
        return false;
    const std::wstring name = QDir::toNativeSeparators(path).toStdWString();
    LPCWSTR names[] = {name.c_str()};
    if (RmRegisterResources(session, 1, names, 0, nullptr, 0, nullptr) == ERROR_SUCCESS) {
        std::vector<RM_PROCESS_INFO> infos(4);
        DWORD status = ERROR_MORE_DATA;
        UINT count = 0;
        for (int attempt = 0; attempt < 4 && status == ERROR_MORE_DATA; ++attempt) {
            UINT needed = 0;
            count = UINT(infos.size());
            DWORD reasons = 0;
            status = RmGetList(session, &needed, &count, infos.data(), &reasons);
            if (status == ERROR_MORE_DATA)
                infos.resize(needed + 4);
        }
        for (UINT n = 0; status == ERROR_SUCCESS && n < count; ++n) {
            const RM_PROCESS_INFO &info = infos[n];
            if (info.Process.dwProcessId == self) {
                *onlySelf = !named;
                continue;
            }
            holders->add(qint64(info.Process.dwProcessId), QString::fromWCharArray(info.strAppName), pathIndex);
            named = true;
            *onlySelf = false;
        }
    }
    RmEndSession(session);
    return named;
}

void findHolders(const QStringList &paths, HolderList *holders)
{
    const DWORD self = GetCurrentProcessId();
    for (int i = 0; i < paths.size(); ++i) {
        // Only what is held: the Restart Manager also lists programs that merely have a
        // file of that name loaded somewhere, and costs a session per file.
        if (!FileInUse::isInUse(paths.at(i)))
            continue;
        bool onlySelf = false;
        // Held, but by no one the Restart Manager can name (Wine has none that can).
        if (!addRestartManagerHolders(paths.at(i), i, self, holders, &onlySelf) && !onlySelf)
            holders->add(0, QString(), i);
    }
}

#else

void findHolders(const QStringList &, HolderList *)
{
}

#endif

} // namespace

QList<FileHolders::Holder> FileHolders::find(const QStringList &paths)
{
    HolderList holders(paths);
    findHolders(paths, &holders);
    return holders.result();
}
