#include "common/scopedcurrentdir.h"
#include "log/applog.h"
#include "log/logmessagehandler.h"
#include "log/quotedtext.h"

#include <QDate>
#include <QDir>
#include <QFile>
#include <QLoggingCategory>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <memory>
#include <vector>

Q_LOGGING_CATEGORY(otherLog, "other.category")

class TestLogging : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void filtering_data();
    void filtering();
    void lineFormat();
    void multiLineMessage();
    void appendsAcrossRuns();
    void missingLogDirectoryLosesLines();
    void environmentRulesSwitchDebugOff();
    void concurrentWritersKeepLinesWhole();
    void fileNamedAfterToday();
    void quotedTextAsTheStreamWritesIt_data();
    void quotedTextAsTheStreamWritesIt();
    void quotedTextEveryCharacter();

private:
    QByteArray readLog() const;

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<ScopedCurrentDir> m_cwd;
    QtMessageHandler m_previous = nullptr;
};

void TestLogging::init()
{
    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
    QVERIFY(QDir(m_dir->path()).mkdir(QStringLiteral("log")));
    m_cwd.reset(new ScopedCurrentDir(m_dir->path()));
    m_previous = qInstallMessageHandler(logMessageHandler);
}

void TestLogging::cleanup()
{
    qInstallMessageHandler(m_previous);
    QLoggingCategory::setFilterRules(QString());
    m_cwd.reset();
    m_dir.reset();
}

QByteArray TestLogging::readLog() const
{
    QFile file(logFilePath());
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

void TestLogging::filtering_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<bool>("written");
    QTest::addColumn<QByteArray>("level");

    QTest::newRow("plain qDebug dropped") << 0 << false << QByteArray("Debug");
    QTest::newRow("plain qWarning dropped") << 1 << false << QByteArray("Warning");
    QTest::newRow("plain qCritical written") << 2 << true << QByteArray("Critical");
    QTest::newRow("plain qInfo written") << 3 << true << QByteArray("Info");
    QTest::newRow("app debug written") << 4 << true << QByteArray("Debug");
    QTest::newRow("app warning written") << 5 << true << QByteArray("Warning");
    QTest::newRow("app info written") << 6 << true << QByteArray("Info");
    QTest::newRow("other category debug dropped") << 7 << false << QByteArray("Debug");
    QTest::newRow("other category warning dropped") << 8 << false << QByteArray("Warning");
    QTest::newRow("other category info written") << 9 << true << QByteArray("Info");
    QTest::newRow("other category critical written") << 10 << true << QByteArray("Critical");
}

void TestLogging::filtering()
{
    QFETCH(int, kind);
    QFETCH(bool, written);
    QFETCH(QByteArray, level);

    const char text[] = "probe message";
    switch (kind) {
    case 0: qDebug() << text; break;
    case 1: qWarning() << text; break;
    case 2: qCritical() << text; break;
    case 3: qInfo() << text; break;
    case 4: ZR_LOG_DEBUG("void Probe::run()") << text; break;
    case 5: ZR_LOG_WARNING("void Probe::run()") << text; break;
    case 6: ZR_LOG_INFO("void Probe::run()") << text; break;
    case 7: qCDebug(otherLog) << text; break;
    case 8: qCWarning(otherLog) << text; break;
    case 9: qCInfo(otherLog) << text; break;
    case 10: qCCritical(otherLog) << text; break;
    }

    const QByteArray log = readLog();
    QCOMPARE(log.contains(text), written);
    if (written)
        QVERIFY2(log.contains(" " + level + " "), log.constData());
}

void TestLogging::lineFormat()
{
    const QString path = QStringLiteral("C:\\Apps\\\"q\"");
    ZR_LOG_DEBUG("bool CVUpdater::backupVersion()") << "backup successed!" << path << 42;

    const QByteArray log = readLog();
    const QRegularExpression shape(QStringLiteral(
        "^\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}\\.\\d{3} Debug "
        "bool CVUpdater::backupVersion\\(\\) backup successed! \"C:\\\\\\\\Apps\\\\\\\\\\\\\"q\\\\\"\" 42\r\n$"));
    QVERIFY2(shape.match(QString::fromUtf8(log)).hasMatch(), log.constData());

    const QDateTime stamp = QDateTime::fromString(QString::fromLatin1(log.left(23)),
                                                  QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz"));
    QVERIFY(stamp.isValid());
    QVERIFY(qAbs(stamp.secsTo(QDateTime::currentDateTime())) < 60);
}

void TestLogging::multiLineMessage()
{
    qInfo("first\nsecond");
    const QByteArray log = readLog();
    QVERIFY2(log.endsWith(" Info first\nsecond\r\n"), log.constData());
    QCOMPARE(log.count("\r\n"), 1);
}

void TestLogging::appendsAcrossRuns()
{
    ZR_LOG_INFO("void MainWindow::initData()") << "Corvane Update Start-Up";
    // A second run installs the handler again on the same day's file.
    qInstallMessageHandler(logMessageHandler);
    ZR_LOG_INFO("void MainWindow::initData()") << "Corvane Update Start-Up";

    const QList<QByteArray> lines = readLog().split('\n');
    QCOMPARE(lines.size(), 3); // two lines and the empty rest after the last "\n"
    for (int i = 0; i < 2; ++i)
        QVERIFY(lines.at(i).endsWith(" Info void MainWindow::initData() Corvane Update Start-Up\r"));
}

void TestLogging::missingLogDirectoryLosesLines()
{
    QVERIFY(QDir(QStringLiteral("log")).removeRecursively());
    ZR_LOG_WARNING("void Probe::run()") << "lost";
    qCritical("also lost");
    QVERIFY(!QFile::exists(logFilePath()));
    QVERIFY(!QDir(QStringLiteral("log")).exists());
}

void TestLogging::environmentRulesSwitchDebugOff()
{
    QLoggingCategory::setFilterRules(QStringLiteral("ZR_LOG.A.debug=false"));
    ZR_LOG_DEBUG("void Probe::run()") << "hidden debug";
    ZR_LOG_WARNING("void Probe::run()") << "visible warning";
    const QByteArray log = readLog();
    QVERIFY(!log.contains("hidden debug"));
    QVERIFY(log.contains("visible warning"));
}

void TestLogging::concurrentWritersKeepLinesWhole()
{
    constexpr int threadCount = 6;
    constexpr int perThread = 150;
    std::vector<std::unique_ptr<QThread>> threads;
    for (int t = 0; t < threadCount; ++t) {
        threads.emplace_back(QThread::create([t] {
            for (int i = 0; i < perThread; ++i)
                ZR_LOG_DEBUG("void Worker::run()") << "thread" << t << "message" << i
                                                   << QString(40, QLatin1Char('a' + t));
        }));
        threads.back()->start();
    }
    for (auto &thread : threads)
        QVERIFY(thread->wait(60000));

    const QByteArray log = readLog();
    QVERIFY(log.endsWith("\r\n"));
    QList<QByteArray> lines = log.split('\n');
    QVERIFY(lines.takeLast().isEmpty());
    QCOMPARE(lines.size(), threadCount * perThread);
    const QRegularExpression shape(QStringLiteral(
        "^\\S+ \\S+ Debug void Worker::run\\(\\) thread (\\d) message \\d+ \"([a-f])\\2{39}\"\r$"));
    QVector<int> perThreadCount(threadCount);
    for (const QByteArray &line : lines) {
        const QRegularExpressionMatch match = shape.match(QString::fromUtf8(line));
        QVERIFY2(match.hasMatch(), line.constData());
        const int t = match.captured(1).toInt();
        QCOMPARE(match.captured(2), QString(QLatin1Char('a' + t)));
        ++perThreadCount[t];
    }
    for (int count : perThreadCount)
        QCOMPARE(count, perThread);
}

void TestLogging::fileNamedAfterToday()
{
    QCOMPARE(logFilePath(), QStringLiteral("./log/cvUpdaterlog_%1.txt")
                                .arg(QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd"))));
    qInfo("dated");
    QVERIFY(QFile::exists(logFilePath()));
}


namespace {

// What a debug stream makes of "sql:", the value and a number, and what it makes of
// the same with the value wrapped in QuotedText.
QString streamed(const QString &value)
{
    QString text;
    QDebug(&text) << "sql:" << value << 5;
    return text;
}

QString streamedQuoted(const QString &value)
{
    QString text;
    QDebug(&text) << "sql:" << QuotedText(value) << 5;
    return text;
}

// The messages of the updater's category, as the message handler gets them.
QStringList capturedMessages;
void captureMessage(QtMsgType, const QMessageLogContext &context, const QString &message)
{
    capturedMessages << QString::fromLatin1(context.category) + QLatin1Char('|') + message;
}

} // namespace

void TestLogging::quotedTextAsTheStreamWritesIt_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<bool>("simple");

    QTest::newRow("statement") << QStringLiteral("UPDATE t SET a = 'x' WHERE id = 7") << true;
    QTest::newRow("empty") << QString() << true;
    QTest::newRow("double quote") << QStringLiteral("SELECT \"a\" FROM t") << true;
    QTest::newRow("backslash") << QStringLiteral("SELECT 'a\\b'") << true;
    QTest::newRow("line break") << QStringLiteral("SELECT\n2") << true;
    QTest::newRow("carriage return and tab") << QStringLiteral("a\r\tb") << true;
    QTest::newRow("escapes next to each other") << QStringLiteral("\"\\\n\n\"a\tb\"") << true;
    QTest::newRow("control then hex digit") << QString(QChar(0x01)) + QStringLiteral("Ab") << false;
    QTest::newRow("delete") << QString(QChar(0x7f)) << false;
    QTest::newRow("umlaut") << QStringLiteral("Zahlung per \u00dcberweisung") << true;
    QTest::newRow("chinese") << QStringLiteral("\u8bf7\u5728\u4e0b\u5348\u9001\u8d27") << true;
    QTest::newRow("pair of surrogates") << QStringLiteral("a\U0001F600b") << false;
    QTest::newRow("lone surrogate") << QString(QChar(0xd800)) + QStringLiteral("1") << false;
    QTest::newRow("zero-width space") << QStringLiteral("a\u200bb") << false;
}

void TestLogging::quotedTextAsTheStreamWritesIt()
{
    QFETCH(QString, value);
    QFETCH(bool, simple);

    QCOMPARE(QuotedText::isSimple(value), simple);
    QCOMPARE(streamedQuoted(value), streamed(value));
    // Also on a stream that was told not to quote: the wrapper always quotes.
    QString text;
    QDebug(&text).noquote() << "sql:" << QuotedText(value) << 5;
    QCOMPARE(text, streamed(value));
    // First on a new stream.
    QString first;
    QDebug(&first) << QuotedText(value) << 5;
    QString plainFirst;
    QDebug(&plainFirst) << value << 5;
    QCOMPARE(first, plainFirst);

    // The line made without a stream is the one the stream makes, and both stay away
    // while the category's debug messages are off.
    capturedMessages.clear();
    const QtMessageHandler previous = qInstallMessageHandler(captureMessage);
    const char signature[] = "bool ZRSqlParser::doParseSql(const QString&, QStringList&)";
    ZR_LOG_DEBUG(signature) << "sql:" << QuotedText(value);
    QuotedText::logDebug(signature, "sql:", value);
    QLoggingCategory::setFilterRules(QStringLiteral("ZR_LOG.A.debug=false"));
    QuotedText::logDebug(signature, "sql:", value);
    QLoggingCategory::setFilterRules(QString());
    qInstallMessageHandler(previous);
    QCOMPARE(capturedMessages.size(), 2);
    QCOMPARE(capturedMessages.at(1), capturedMessages.at(0));
}

void TestLogging::quotedTextEveryCharacter()
{
    // Every character of the basic plane, between letters, as the stream writes it.
    for (int code = 0; code <= 0xffff; ++code) {
        const QString value = QStringLiteral("a") + QChar(ushort(code)) + QStringLiteral("b");
        const QString expected = streamed(value);
        QString alone;
        QDebug(&alone).nospace() << value;
        QString appended;
        QuotedText(value).appendTo(appended);
        if (streamedQuoted(value) != expected || appended != alone)
            QFAIL(qPrintable(QStringLiteral("U+%1: %2").arg(code, 4, 16, QLatin1Char('0')).arg(expected)));
    }
}

QTEST_GUILESS_MAIN(TestLogging)
#include "tst_logging.moc"
