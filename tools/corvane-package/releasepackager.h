#ifndef RELEASEPACKAGER_H
#define RELEASEPACKAGER_H

#include <QList>
#include <QMap>
#include <QPair>
#include <QString>
#include <QStringList>

#include <functional>

class RemovalList;

// Builds an update package from the installed trees of consecutive releases
// ("corvane-package build"): version.ini, the updater's folder as
// "cmake --install ... --prefix DIR" lays it out, and one step directory per pair of
// releases:
//  - a file added or changed outside config/ goes to the step's common/;
//  - an INI file in config/ that the older release has: only the keys added or changed,
//    with the marker groups, so the updater's merge keeps every user key;
//  - any other file added or changed in config/ (a new INI file too): copied whole;
//  - the step's SQL script, when the vendor names one, after the updater's own parser
//    (and, when the oldest tree holds kqdata.db, a trial run on a copy of it) took it;
//  - files and directories the newer release lacks: the step's removal list
//    (RemovalList), each file with its size and SHA-256 as the older release shipped it.
// What the package format cannot express is listed in losses(), never dropped in
// silence: a file turned into a directory or back, keys removed, reserved names,
// kqdata.db changed, hidden files, links, directories in config/, and deletions of what
// the updater never removes (config/, kqdata.db, hidden entries, links).
class ReleasePackager
{
public:
    ReleasePackager();

    // version is "major.minor"; dir an installed tree of that release.
    void addRelease(const QString &version, const QString &dir);
    void setScript(const QString &version, const QString &file);
    void setUpdaterDir(const QString &dir);
    void setOutputDir(const QString &dir);
    void setProgress(std::function<void(const QString &)> progress) { m_progress = std::move(progress); }

    // False on anything that leaves no usable package (errorString()); losses alone do
    // not make it fail.
    bool build();

    QStringList losses() const { return m_losses; }
    // What went into each step, one line per step.
    QStringList summary() const { return m_summary; }
    QString errorString() const { return m_error; }

private:
    struct StepCounts
    {
        int common = 0;
        int configWhole = 0;
        int configMerged = 0;
        int keys = 0;
    };

    bool fail(const QString &error);
    bool checkInput();
    bool copyUpdater();
    bool writeVersionFile();
    bool diffTree(const QString &oldRoot, const QString &newRoot, const QString &relative, const QString &stepDir,
                  const QString &label, StepCounts *counts);
    bool diffConfig(const QString &oldRoot, const QString &newRoot, const QString &stepDir, const QString &label,
                    StepCounts *counts);
    bool diffIni(const QString &oldFile, const QString &newFile, const QString &target, const QString &relative,
                 const QString &label, StepCounts *counts);
    // Lists what the older release has and the newer lacks (below relative) for the
    // step's removal list; what cannot be removed is a loss.
    bool listDeleted(const QString &oldRoot, const QString &newRoot, const QString &relative, const QString &label,
                     RemovalList *removals);
    bool writeRemovals(const RemovalList &removals, const QString &target);
    // Parses every script (and tries it on a copy of the oldest release's database).
    bool checkScripts();
    bool copyFile(const QString &source, const QString &target);
    // path relative to a release tree.
    bool isReserved(const QString &path) const;
    // --out neither inside nor around an input, links resolved.
    bool checkOutputPlace();
    // No release tree holds two paths that differ only in letter case.
    bool checkLetterCase();
    void loss(const QString &label, const QString &text);

    QList<QPair<QString, QString>> m_given; // version, dir as given
    QMap<int, QString> m_releases;          // minor -> dir, once checked
    int m_major = -1;
    QMap<QString, QString> m_scripts; // version -> file
    QString m_updaterDir;
    QString m_outputDir;
    QStringList m_losses;
    QStringList m_summary;
    QString m_error;
    std::function<void(const QString &)> m_progress;
};

#endif // RELEASEPACKAGER_H
