#include "common/installationfixture.h"
#include "common/packagebuilder.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const char kProgram[] = CORVANE_BINARY_DIR "/corvane-updater-cli" CORVANE_EXE_SUFFIX;

// One system call of the traced run, in the order the calls were made.
struct Call
{
    QString name;
    QString target; // rename: the new path
    bool wrote = false;
};

} // namespace

// The update flag vouches for what was written before it: the backup when it turns
// false, the restored or updated installation when it turns true. The copies do not
// flush file by file, so the program has to flush the file system after the last write
// the flag vouches for and before the flag file is replaced. Killing the process cannot
// show a missing flush (the page cache outlives the process; a power cut does not), so
// the order of the system calls is checked under strace instead.
class TestFlagDurability : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void updateFlushesBeforeEachFlagChange();
    void restoreFlushesBeforeFlagChange();

private:
    void makeScenario();
    // Runs the console updater under strace; false (with the reason) when it could not.
    bool traced(const QStringList &arguments, QVector<Call> &calls, QString &why);
    // Checks that before every replacement of the flag file, a flush follows the last
    // write of data (a copied file, a replaced INI or registry file). Returns how many
    // times the flag file was replaced.
    static int checkFlushesBeforeFlag(const QVector<Call> &calls, QString &why);

    InstallationFixture m_fixture;
    QString m_strace;
    bool m_cannotTrace = false;
};

void TestFlagDurability::initTestCase()
{
    QVERIFY2(QFileInfo(QString::fromUtf8(kProgram)).isExecutable(), kProgram);
    m_strace = QStandardPaths::findExecutable(QStringLiteral("strace"));
    if (m_strace.isEmpty())
        QSKIP("strace is not installed (scripts/setup.sh installs it)");
    QVERIFY2(m_fixture.setUp(), qPrintable(m_fixture.error()));
}

void TestFlagDurability::init()
{
    QVERIFY2(m_fixture.reset(), qPrintable(m_fixture.error()));
    makeScenario();
}

void TestFlagDurability::makeScenario()
{
    PackageBuilder install(m_fixture.installPath());
    install.files({"ostrelle.exe=Ostrelle 3.2", "docs/readme.txt=read me", "plugins/a/b/c.dll=c"})
        .markedIni(QStringLiteral("config/app.ini"), {{"view/zoom", "1"}})
        .database(QStringLiteral("kqdata.db"), {"CREATE TABLE orders (id INTEGER PRIMARY KEY, item TEXT)",
                                                "INSERT INTO orders (item) VALUES ('pen')"});
    QVERIFY2(install.ok(), qPrintable(install.error()));

    PackageBuilder package(m_fixture.packagePath());
    package.markedIni(QStringLiteral("version.ini"), {{"RELEASE/VERSION", "3.3"}})
        .files({"application/common/docs/license.txt=license",
                "application/3_2_to_3_3/common/ostrelle.exe=Ostrelle 3.3"})
        .markedIni(PackageBuilder::stepPath(QStringLiteral("3_2_to_3_3"), QStringLiteral("config/app.ini")),
                   {{"view/zoom", "2"}})
        .sqlScript(QStringLiteral("3_2_to_3_3"), QStringLiteral("IFN_COL|orders|note;\n"
                                                                "ALTER TABLE orders ADD COLUMN note TEXT;\n"));
    QVERIFY2(package.ok(), qPrintable(package.error()));
    QVERIFY2(m_fixture.writeKey(QStringLiteral("3.2.0")), qPrintable(m_fixture.error()));
}

bool TestFlagDurability::traced(const QStringList &arguments, QVector<Call> &calls, QString &why)
{
    QTemporaryDir traceDir;
    const QString traceFile = traceDir.filePath(QStringLiteral("trace"));
    QProcess process;
    process.setWorkingDirectory(m_fixture.packagePath());
    // LeakSanitizer works through ptrace itself and gives up under strace.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    const QString asanOptions = environment.value(QStringLiteral("ASAN_OPTIONS"));
    environment.insert(QStringLiteral("ASAN_OPTIONS"),
                       asanOptions.isEmpty() ? QStringLiteral("detect_leaks=0")
                                             : asanOptions + QStringLiteral(":detect_leaks=0"));
    process.setProcessEnvironment(environment);
    process.start(m_strace, QStringList{QStringLiteral("-f"), QStringLiteral("-qq"), QStringLiteral("-o"), traceFile,
                                        QStringLiteral("-e"),
                                        QStringLiteral("trace=copy_file_range,syncfs,rename,renameat,renameat2"),
                                        QString::fromUtf8(kProgram)}
                                + arguments);
    if (!process.waitForFinished(120000)) {
        process.kill();
        process.waitForFinished();
        why = QStringLiteral("the traced run did not finish");
        return false;
    }
    const QString err = QString::fromLocal8Bit(process.readAllStandardError());
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        why = QStringLiteral("exit %1: %2").arg(process.exitCode()).arg(err);
        // strace itself refused, e.g. "strace: ptrace(PTRACE_TRACEME, ...): Operation not permitted".
        m_cannotTrace = err.startsWith(QLatin1String("strace: "))
            && (err.contains(QLatin1String("ptrace")) || err.contains(QLatin1String("Operation not permitted")));
        return false;
    }

    QFile trace(traceFile);
    if (!trace.open(QIODevice::ReadOnly)) {
        why = QStringLiteral("no trace written: %1").arg(err);
        return false;
    }
    // "1234 rename("/x/UPDATER.ini.aBcDeF", "/x/UPDATER.ini") = 0"; a call cut by another
    // thread's is completed by a "<... rename resumed>" line, which holds the result.
    const QRegularExpression line(QStringLiteral("^\\d+\\s+(?:<\\.\\.\\. )?(\\w+)(.*)$"));
    const QRegularExpression quoted(QStringLiteral("\"((?:[^\"\\\\]|\\\\.)*)\""));
    const QRegularExpression result(QStringLiteral("= (-?\\d+)"));
    while (!trace.atEnd()) {
        const QString text = QString::fromUtf8(trace.readLine()).trimmed();
        const QRegularExpressionMatch match = line.match(text);
        if (!match.hasMatch() || text.endsWith(QLatin1String("<unfinished ...>")))
            continue;
        const QRegularExpressionMatch outcome = result.match(text);
        if (!outcome.hasMatch())
            continue;
        Call call;
        call.name = match.captured(1);
        call.wrote = outcome.captured(1).toLongLong() >= 0;
        QRegularExpressionMatchIterator paths = quoted.globalMatch(match.captured(2));
        while (paths.hasNext())
            call.target = paths.next().captured(1);
        calls.append(call);
    }
    return true;
}

int TestFlagDurability::checkFlushesBeforeFlag(const QVector<Call> &calls, QString &why)
{
    const QString flagFile = QStringLiteral("/config/UPDATER.ini");
    int flagWrites = 0;
    int lastData = -1;
    int lastFlush = -1;
    for (int i = 0; i < calls.size(); ++i) {
        const Call &call = calls.at(i);
        if (!call.wrote)
            continue;
        if (call.name == QLatin1String("syncfs")) {
            lastFlush = i;
        } else if (call.name == QLatin1String("copy_file_range")) {
            lastData = i;
        } else if (call.name.startsWith(QLatin1String("rename"))) {
            if (call.target.endsWith(flagFile)) {
                ++flagWrites;
                if (lastData > lastFlush) {
                    why = QStringLiteral("flag change %1 (call %2) follows data written at call %3 without a flush")
                              .arg(flagWrites).arg(i).arg(lastData);
                    return -1;
                }
            } else if (!call.target.endsWith(flagFile + QStringLiteral(".bak"))) {
                // A replaced INI or registry file; the flag's own backup belongs to the
                // flag write.
                lastData = i;
            }
        }
    }
    return flagWrites;
}

void TestFlagDurability::updateFlushesBeforeEachFlagChange()
{
    QVector<Call> calls;
    QString why;
    if (!traced({QStringLiteral("--quiet")}, calls, why)) {
        if (m_cannotTrace)
            QSKIP(qPrintable(QStringLiteral("strace cannot trace here: %1").arg(why)));
        QFAIL(qPrintable(why));
    }
    QCOMPARE(PackageBuilder::readFile(m_fixture.installPath() + QStringLiteral("/ostrelle.exe")),
             QByteArray("Ostrelle 3.3"));
    QCOMPARE(m_fixture.flagOnDisk(), QStringLiteral("true"));

    // Files were copied without a flush each: the test would prove nothing otherwise.
    int copies = 0;
    for (const Call &call : qAsConst(calls))
        copies += call.name == QLatin1String("copy_file_range") ? 1 : 0;
    QVERIFY2(copies > 0, "no file was copied in the kernel");

    // False after the backup and true at the end, besides the file's creation when the
    // flag is first read.
    const int flagWrites = checkFlushesBeforeFlag(calls, why);
    QVERIFY2(flagWrites >= 0, qPrintable(why));
    QVERIFY2(flagWrites >= 2, qPrintable(QString::number(flagWrites)));
}

void TestFlagDurability::restoreFlushesBeforeFlagChange()
{
    QProcess update;
    update.setWorkingDirectory(m_fixture.packagePath());
    update.start(QString::fromUtf8(kProgram), {QStringLiteral("--quiet")});
    QVERIFY(update.waitForFinished(120000));
    QCOMPARE(update.exitCode(), 0);

    QVector<Call> calls;
    QString why;
    if (!traced({QStringLiteral("--quiet"), QStringLiteral("--restore")}, calls, why)) {
        if (m_cannotTrace)
            QSKIP(qPrintable(QStringLiteral("strace cannot trace here: %1").arg(why)));
        QFAIL(qPrintable(why));
    }
    QCOMPARE(PackageBuilder::readFile(m_fixture.installPath() + QStringLiteral("/ostrelle.exe")),
             QByteArray("Ostrelle 3.2"));
    QCOMPARE(m_fixture.flagOnDisk(), QStringLiteral("true"));

    const int flagWrites = checkFlushesBeforeFlag(calls, why);
    QVERIFY2(flagWrites >= 0, qPrintable(why));
    QCOMPARE(flagWrites, 1);
}

QTEST_GUILESS_MAIN(TestFlagDurability)
#include "tst_flagdurability.moc"
