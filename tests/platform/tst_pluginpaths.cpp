#include "platform/pluginpaths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QPluginLoader>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// Set up before the application object, as the programs do: a current directory and
// QT_PLUGIN_PATH that both hold the planted driver where Qt would find it.
QTemporaryDir *planted()
{
    static QTemporaryDir dir;
    return &dir;
}

QString plantedPlugin()
{
    return QStringLiteral(CORVANE_PLANTED_PLUGIN);
}

QString marker()
{
    return planted()->filePath(QStringLiteral("marker.txt"));
}

} // namespace

// The programs' plug-in paths: their own folder (and, off Windows, the system's Qt), never
// the current directory or the environment; the SQLite driver still loads.
class TestPluginPaths : public QObject
{
    Q_OBJECT

private slots:
    void markerWorks();
    void pathsAreTheProgramFolder();
    void plantedDriverNeverLoads();
};

void TestPluginPaths::markerWorks()
{
    // The planted plug-in does write its marker when a process loads it: the other cases
    // would notice it.
    QTemporaryDir dir;
    const QString copy = dir.filePath(QFileInfo(plantedPlugin()).fileName());
    QVERIFY(QFile::copy(plantedPlugin(), copy));
    const QString other = dir.filePath(QStringLiteral("other-marker.txt"));
    QPluginLoader loader(copy);
    qputenv("CORVANE_PLANTED_MARKER", QFile::encodeName(other));
    QVERIFY2(loader.load(), qPrintable(loader.errorString()));
    qputenv("CORVANE_PLANTED_MARKER", QFile::encodeName(marker()));
    QVERIFY(QFile::exists(other));
    loader.unload();
}

void TestPluginPaths::pathsAreTheProgramFolder()
{
    const QString folder = PluginPaths::programFolder(nullptr);
    QCOMPARE(folder, QCoreApplication::applicationDirPath());
    const QStringList paths = QCoreApplication::libraryPaths();
    QCOMPARE(paths, PluginPaths::libraryPaths(folder));
    QCOMPARE(paths.value(0), QDir::cleanPath(folder));
    for (const QString &path : paths) {
        QVERIFY2(!path.startsWith(planted()->path()), qPrintable(path));
        QVERIFY2(path != QDir::currentPath(), qPrintable(path));
    }
    QVERIFY(qEnvironmentVariableIsEmpty("QT_PLUGIN_PATH"));
    QVERIFY(qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM_PLUGIN_PATH"));
}

void TestPluginPaths::plantedDriverNeverLoads()
{
    {
        QSqlDatabase database = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("probe"));
        QVERIFY(database.isValid());
        database.setDatabaseName(QStringLiteral(":memory:"));
        QVERIFY(database.open());
        QSqlQuery query(database);
        QVERIFY(query.exec(QStringLiteral("SELECT sqlite_version()")));
        QVERIFY(query.next());
    }
    QSqlDatabase::removeDatabase(QStringLiteral("probe"));
    QVERIFY2(!QFile::exists(marker()), "the planted driver was loaded");
}

int main(int argc, char *argv[])
{
    // Planted in <current directory>/sqldrivers/sqldrivers/ (where addLibraryPath of the
    // current directory's sqldrivers looked), in <current directory>/sqldrivers/ and in a
    // QT_PLUGIN_PATH folder; QT_QPA_PLATFORM_PLUGIN_PATH names one too.
    if (!planted()->isValid())
        return 1;
    const QDir root(planted()->path());
    for (const QString &folder : {QStringLiteral("sqldrivers/sqldrivers"), QStringLiteral("env/sqldrivers"),
                                  QStringLiteral("platforms")}) {
        root.mkpath(folder);
        QFile::copy(plantedPlugin(), root.filePath(folder + QLatin1Char('/') + QFileInfo(plantedPlugin()).fileName()));
    }
    QFile::copy(plantedPlugin(), root.filePath(QStringLiteral("sqldrivers/") + QFileInfo(plantedPlugin()).fileName()));
    QDir::setCurrent(root.path());
    qputenv("QT_PLUGIN_PATH", QFile::encodeName(root.filePath(QStringLiteral("env"))));
    qputenv("QT_QPA_PLATFORM_PLUGIN_PATH", QFile::encodeName(root.filePath(QStringLiteral("platforms"))));
    qputenv("CORVANE_PLANTED_MARKER", QFile::encodeName(marker()));

    PluginPaths::restrictBeforeApplication(argc > 0 ? argv[0] : nullptr);
    QCoreApplication app(argc, argv);
    PluginPaths::restrictAfterApplication();
    TestPluginPaths test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_pluginpaths.moc"
