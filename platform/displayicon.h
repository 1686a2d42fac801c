#ifndef DISPLAYICON_H
#define DISPLAYICON_H

#include <QString>

// The "DisplayIcon" value of an uninstall entry: the program file of the installation,
// whose directory is the installation directory.
class DisplayIcon
{
public:
    // The program file the value names. Windows installers often quote it and add the
    // index of the icon in the file, as in "C:\Program Files (x86)\Ostrelle\Ostrelle.exe",0;
    // on Windows the quotes and the index are taken off. Elsewhere the stand-in holds a
    // plain path, taken as it stands.
    static QString programPath(const QString &value);

    // The directory part of a program path: up to its last "\" or "/" (the whole path
    // when it has neither). On Windows with "/" separators, as every path into the
    // installation is built.
    static QString directoryOf(const QString &programPath);

private:
    DisplayIcon() = delete;
};

#endif // DISPLAYICON_H
