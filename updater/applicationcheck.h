#ifndef APPLICATIONCHECK_H
#define APPLICATIONCHECK_H

#include "platform/fileholders.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

// Whether the application (or any other program) is alive beside the updater: who holds
// the installation's database, its journals or a program file open. An update under a
// running application would lose what it commits meanwhile (a restore puts the old
// database back) or fail half-way on a program file Windows will not replace.
class ApplicationCheck
{
public:
    using Holders = QList<FileHolders::Holder>;

    explicit ApplicationCheck(const QString &installPath);

    // "kqdata.db" with its "-journal", "-wal" and "-shm", then the installation's program
    // files (programs and libraries), its reserved top-level folders left out.
    const QStringList &files() const { return m_files; }

    // Who holds them now.
    Holders holders() const;
    // Looks again until no one holds them or seconds have passed; waiting hears the
    // holders of the first look once, when there are any and seconds is above 0. Returns
    // the holders of the last look.
    Holders waitForHolders(int seconds, const std::function<void(const Holders &)> &waiting) const;

    // "ostrelle (process 4242) holds /opt/Ostrelle/kqdata.db open", in the loaded language.
    static QString describe(const FileHolders::Holder &holder);
    // "ostrelle (process 4242)", or "another program".
    static QString programText(const FileHolders::Holder &holder);

    // A program or a library by its name or, elsewhere than on Windows, its mode.
    static bool isProgramFile(const QString &path);

private:
    QStringList m_files;
};

#endif // APPLICATIONCHECK_H
