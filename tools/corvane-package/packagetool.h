#ifndef PACKAGETOOL_H
#define PACKAGETOOL_H

#include <QString>
#include <QStringList>

#include <cstdio>

// corvane-package: the vendor's tool for update packages.
//
//     corvane-package build  --release 3.2=DIR --release 3.3=DIR ... [--sql 3.3=FILE ...]
//                            --updater DIR --out DIR
//     corvane-package keygen --secret-key FILE --trusted-keys FILE [--name NAME]
//     corvane-package sign   --package DIR --secret-key FILE [--secret-key FILE ...]
//     corvane-package verify --package DIR [--trusted-keys FILE]
//     corvane-package layout
//     corvane-package ini write [--unmarked] (FILE | --files)   < JSON
//     corvane-package ini read (FILE | --files FILE...)
//
// Exit status: 0 done; 1 build: the package is written but lacks what the list says /
// verify: the package would be refused; 2 bad input or a failure.
class PackageTool
{
public:
    enum ExitCode { ExitSuccess = 0, ExitFindings = 1, ExitFailure = 2 };

    PackageTool(FILE *out, FILE *err);

    // arguments as QCoreApplication::arguments() gives them, program name first.
    int run(const QStringList &arguments);

private:
    int build(const QStringList &arguments);
    int keygen(const QStringList &arguments);
    int sign(const QStringList &arguments);
    int verify(const QStringList &arguments);
    // The installation's fixed names for the scripts, which read them instead of keeping a list.
    int printLayout(const QStringList &arguments);
    // INI files written and read as the updater does, for the scripts (see IniJson).
    int ini(const QStringList &arguments);
    int iniWrite(bool files, bool marked, const QStringList &paths);
    int iniRead(bool files, const QStringList &paths);
    int usage(const QString &error);
    void print(const QString &line);
    void error(const QString &line);

    FILE *m_out;
    FILE *m_err;
};

#endif // PACKAGETOOL_H
