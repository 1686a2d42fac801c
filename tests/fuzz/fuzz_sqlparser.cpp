// libFuzzer harness: any bytes as an SQL update script, parsed from a file and as text,
// with its IFN_COL directives resolved against a small real database.
#include "fuzzsupport.h"

#include "db/dbcontrol.h"
#include "db/zrsqlparser.h"
#include "updater/cvupdater.h"

#include <QCoreApplication>
#include <QDir>
#include <QSettings>
#include <QSqlDatabase>
#include <QSqlQuery>

namespace {

QString scriptPath()
{
    return FuzzSupport::scratchDir() + QStringLiteral("/dbupdate.sql");
}

void writeUninstallKey(const QString &installDir)
{
    const QString keyDir = QString::fromLocal8Bit(qgetenv("XDG_CONFIG_HOME"))
        + QStringLiteral("/Corvane/registry/HKEY_LOCAL_MACHINE/SOFTWARE/Microsoft/Windows/CurrentVersion/Uninstall");
    if (!QDir().mkpath(keyDir))
        FuzzSupport::fail("create registry stand-in", keyDir);
    QSettings key(keyDir + QStringLiteral("/Ostrelle.ini"), QSettings::IniFormat);
    key.setValue(QStringLiteral("DisplayVersion"), QStringLiteral("3.2"));
    key.setValue(QStringLiteral("DisplayIcon"), installDir + QStringLiteral("/app.exe"));
    key.sync();
}

// Tables whose CREATE statements give the directives something to find: column names
// that are parts of other names, a type name, a quoted name, and a view (not a table).
void createDatabase(const QString &path)
{
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("fuzz-setup"));
        db.setDatabaseName(path);
        if (!db.open())
            FuzzSupport::fail("create database", path);
        QSqlQuery query(db);
        const char *const statements[] = {
            "CREATE TABLE t_user (id INTEGER PRIMARY KEY, name TEXT NOT NULL, nickname TEXT, age INTEGER)",
            "CREATE TABLE \"t config\" (\"key\" TEXT UNIQUE, value BLOB, updated_at DATETIME)",
            "CREATE INDEX idx_user_name ON t_user(name)",
            "CREATE VIEW v_user AS SELECT id, name FROM t_user",
            "INSERT INTO t_user (name, age) VALUES ('Ana', 30), ('Bo', 41)",
        };
        for (const char *sql : statements) {
            if (!query.exec(QString::fromLatin1(sql)))
                FuzzSupport::fail("set up database", QString::fromLatin1(sql));
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("fuzz-setup"));
}

void checkStatements(const QStringList &statements)
{
    for (const QString &sql : statements) {
        FUZZ_CHECK(!sql.isEmpty(), sql);
        FUZZ_CHECK(sql == sql.trimmed(), sql);
        FUZZ_CHECK(!sql.contains(QLatin1Char(';')), sql);
        FUZZ_CHECK(!sql.startsWith(QLatin1String("IFN_COL")), sql);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    FuzzSupport::silenceMessages();
    // The SQL driver is a plug-in, which only an application object loads. Qt's own
    // options are not passed on: the rest of argv belongs to libFuzzer.
    static int appArgc = 1;
    static char *appArgv[] = {*argc > 0 ? (*argv)[0] : nullptr, nullptr};
    static QCoreApplication app(appArgc, appArgv);

    const QString root = FuzzSupport::scratchDir();
    FuzzSupport::redirectHome(root + QStringLiteral("/home"));
    const QString installDir = root + QStringLiteral("/install");
    const QString packageDir = root + QStringLiteral("/package");
    if (!QDir().mkpath(installDir) || !QDir().mkpath(packageDir))
        FuzzSupport::fail("create installation", root);
    createDatabase(installDir + QStringLiteral("/kqdata.db"));
    writeUninstallKey(installDir);
    CVUpdater::setProgramDir(packageDir);

    FUZZ_CHECK(CVUpdater::getInstance()->getInstallPath() == installDir, CVUpdater::getInstance()->getInstallPath());
    FUZZ_CHECK(DBControl::getInstance()->isOpened(), installDir);
    FUZZ_CHECK(DBControl::getInstance()->isColumnExists(QStringLiteral("t_user"), QStringLiteral("age")) == 1,
               QStringLiteral("the database answers"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray script = FuzzSupport::toBytes(data, size);
    if (!FuzzSupport::writeFile(scriptPath(), script))
        FuzzSupport::fail("write script", scriptPath());

    ZRSqlParser parser;
    QStringList fromFile;
    parser.parseSqlFile(scriptPath(), fromFile);
    checkStatements(fromFile);

    // The text as it stands, comment lines included: doParseSql is also fed text that
    // the line reader never passes on.
    QStringList fromText;
    parser.doParseSql(QString::fromUtf8(script), fromText);
    checkStatements(fromText);
    return 0;
}
