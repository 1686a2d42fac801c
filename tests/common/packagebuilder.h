#ifndef PACKAGEBUILDER_H
#define PACKAGEBUILDER_H

#include <QList>
#include <QMap>
#include <QPair>
#include <QString>
#include <QStringList>

// Lays out real trees for tests: update packages ("application/common",
// "application/<step>/common|config|sql") and installations (files, marked INI files,
// a "kqdata.db" with tables). Paths are relative to the root given to the constructor;
// missing parent directories are created. Every call records its first failure, so a
// test builds the whole tree and then checks ok() once:
//
//     PackageBuilder package(dir.path());
//     package.files({"application/common/bin/tool.txt=v2", "application/3_4_to_3_5/common/"})
//         .markedIni(PackageBuilder::stepPath("3_4_to_3_5", "config/app.ini"), {{"view/zoom", "2"}})
//         .sqlScript("3_4_to_3_5", "ALTER TABLE t ADD COLUMN c TEXT;");
//     QVERIFY2(package.ok(), qPrintable(package.error()));
//
// The row format of files() is the one snapshot() returns, so whole trees compare in one go.
class PackageBuilder
{
public:
    using IniKeys = QList<QPair<QString, QString>>;
    enum class Markers { Both, BeginOnly, None };

    explicit PackageBuilder(const QString &root);

    QString root() const { return m_root; }
    QString path(const QString &relativePath) const;

    // Rows "dir/sub/name=contents" make a file (contents as UTF-8, possibly empty);
    // rows ending in "/" make a directory.
    PackageBuilder &files(const QStringList &rows);
    PackageBuilder &file(const QString &relativePath, const QByteArray &contents);
    PackageBuilder &dir(const QString &relativePath);
    // An INI file written the way the updater's settings layer writes it (UTF-8); keys
    // are "group/key". Markers::Both gives a valid marked file.
    PackageBuilder &markedIni(const QString &relativePath, const IniKeys &keys,
                              Markers markers = Markers::Both);
    // "application/<step>/sql/dbupdate.sql".
    PackageBuilder &sqlScript(const QString &stepName, const QString &script);
    // An SQLite database holding what the statements create (tables, rows).
    PackageBuilder &database(const QString &relativePath, const QStringList &statements);
    // The database() of the statements plus 2000 rows of filler, then its last page's cell
    // pointers overwritten: it opens and reads, but PRAGMA quick_check finds it damaged.
    PackageBuilder &damagedDatabase(const QString &relativePath, const QStringList &statements);
    // A symbolic link at relativePath pointing to target (taken as is, so ".." works).
    PackageBuilder &link(const QString &relativePath, const QString &target);

    bool ok() const { return m_error.isEmpty(); }
    QString error() const { return m_error; }

    // Package paths, relative to the package directory.
    static QString commonPath(const QString &relativePath);
    static QString stepPath(const QString &stepName, const QString &relativePath);

    // Every entry below root, hidden ones included, sorted: "a/b=contents" for files,
    // "a/" for directories, "a/l -> target" for links (not followed). Entries whose
    // relative path is in ignored (and everything below them) are left out.
    static QStringList snapshot(const QString &root, const QStringList &ignored = QStringList());
    static QByteArray readFile(const QString &filePath);
    // The text of a symbolic link as it stands, not resolved; empty when path is no link.
    static QString linkText(const QString &path);
    // A plain copy of a directory tree, files and folders only (what `cp -a` would do for
    // the trees the tests make, also on Windows).
    static bool copyTree(const QString &source, const QString &target);
    // All keys of an INI file with their values as text ("group/key" -> value).
    static QMap<QString, QString> iniValues(const QString &filePath);
    // Rows of a query on an SQLite file, columns joined by "|"; a failing query gives
    // one row "ERROR: <driver text>".
    static QStringList query(const QString &databasePath, const QString &sql);

private:
    bool makeParent(const QString &filePath);
    void fail(const QString &what);

    QString m_root;
    QString m_error;
};

#endif // PACKAGEBUILDER_H
