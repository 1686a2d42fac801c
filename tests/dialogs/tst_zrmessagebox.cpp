#include "context/zrpubmethod.h"
#include "common/scopedcurrentdir.h"
#include "dialogs/zrmessagebox.h"
#include "strings/stringtablecompiler.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <functional>

namespace {

QPushButton *button(QWidget *box, const char *name)
{
    return box->findChild<QPushButton *>(QLatin1String(name));
}

template <typename T>
T *child(QWidget *box, const char *name)
{
    return box->findChild<T *>(QLatin1String(name));
}

// Runs action on the modal box once its event loop is running. The action must end
// the box, or exec() would never return.
void whenModal(const std::function<void(ZRMessageBox *)> &action)
{
    QTimer::singleShot(0, [action] {
        auto *box = qobject_cast<ZRMessageBox *>(QApplication::activeModalWidget());
        if (box) {
            if (!QTest::qWaitForWindowActive(box))
                qWarning("the box did not become active");
            action(box);
        }
    });
}

// Presses a key the way a user does: on the widget that has the focus.
void pressKey(ZRMessageBox *box, Qt::Key key)
{
    QWidget *target = box->focusWidget() ? box->focusWidget() : box;
    QTest::keyClick(target, key);
    QTest::keyClick(box, key);
}

// A dialog whose title bar has a close button and nothing else. (Qt adds the title and
// system-menu hints that a close button needs.)
void checkTitleBar(Qt::WindowFlags flags)
{
    QCOMPARE(flags & Qt::WindowType_Mask, Qt::Dialog);
    QVERIFY(flags.testFlag(Qt::WindowCloseButtonHint));
    QVERIFY(!flags.testFlag(Qt::WindowContextHelpButtonHint));
    QVERIFY(!flags.testFlag(Qt::WindowMinimizeButtonHint));
    QVERIFY(!flags.testFlag(Qt::WindowMaximizeButtonHint));
    QVERIFY(!flags.testFlag(Qt::CustomizeWindowHint));
}

} // namespace

class TestZRMessageBox : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void dialogBase();
    void plainBox();
    void setContentButtons();
    void keysDoNothing_data();
    void keysDoNothing();
    void buttonResults();
    void noticeBox();
    void countDown_data();
    void countDown();
    void countDownFromZero();
    void countDownRunsOnItsTimer();
    void stopCountDown();
    void delayTimerLeavesBoxOpen();

private:
    QTemporaryDir m_dir;
};

void TestZRMessageBox::initTestCase()
{
    QVERIFY(m_dir.isValid());
    StringTableCompiler compiler;
    QVERIFY(compiler.parse("id\tzh\ten\n364\t剩余时间：\tTime left:\n"));
    QVERIFY(compiler.writeBinary(m_dir.filePath(QStringLiteral("string.bin"))));
    ScopedCurrentDir current(m_dir.path());
    ZRPubMethod::getInstance()->setLanType(1);
    ZRPubMethod::getInstance()->loadStringTable();
    QCOMPARE(ZRPubMethod::getInstance()->stringCount(), 365);
}

void TestZRMessageBox::cleanupTestCase()
{
    ZRPubMethod::getInstance()->setLanType(1);
}

void TestZRMessageBox::dialogBase()
{
    ZRDialog dialog;
    QVERIFY(dialog.isModal());
    checkTitleBar(dialog.windowFlags());

    ZRMessageBox box;
    QVERIFY(box.isModal());
    QVERIFY(box.testAttribute(Qt::WA_ShowModal));
    checkTitleBar(box.windowFlags());
    QCOMPARE(box.objectName(), QStringLiteral("ZRMessageBox"));
    QCOMPARE(box.size(), QSize(442, 258));
    QCOMPARE(box.windowTitle(), QStringLiteral("Dialog"));
}

void TestZRMessageBox::plainBox()
{
    QWidget parent;
    ZRMessageBox box(&parent, false);

    auto *text = child<QLabel>(&box, "label_text");
    QVERIFY(text);
    QCOMPARE(text->geometry(), QRect(63, 30, 351, 100));
    QCOMPARE(text->alignment(), Qt::Alignment(Qt::AlignVCenter));
    QVERIFY(text->wordWrap());
    QCOMPARE(text->font().pointSize(), 10);

    auto *icon = child<QLabel>(&box, "label_icon");
    QVERIFY(icon);
    QVERIFY(icon->isHidden());
    QCOMPARE(icon->text(), QString());
    QCOMPARE(icon->size(), QSize(0, 0));

    auto *caption = child<QLabel>(&box, "m_leftTimeLabel");
    auto *time = child<QLineEdit>(&box, "m_LeftTimeLineEdit");
    QVERIFY(caption && time);
    QCOMPARE(caption->text(), QStringLiteral("Time left:"));
    QVERIFY(caption->wordWrap());
    QVERIFY(caption->isHidden());
    QVERIFY(time->isHidden());
    QVERIFY(time->isReadOnly());

    QPushButton *ok = button(&box, "btn_ok");
    QPushButton *cancel = button(&box, "btn_cancel");
    QVERIFY(ok && cancel);
    QCOMPARE(ok->geometry(), QRect(170, 190, 100, 33));
    QCOMPARE(cancel->geometry(), QRect(290, 190, 100, 33));
    QCOMPARE(ok->font().pointSize(), 11);
    QVERIFY(!ok->isHidden());
    QVERIFY(!cancel->isHidden());
}

void TestZRMessageBox::setContentButtons()
{
    ZRMessageBox box;
    QPushButton *ok = button(&box, "btn_ok");
    QPushButton *cancel = button(&box, "btn_cancel");

    box.setContent(QStringLiteral("Update"), QStringLiteral("Done."), QStringLiteral("OK"), QString());
    QCOMPARE(box.windowTitle(), QStringLiteral("Update"));
    QCOMPARE(child<QLabel>(&box, "label_text")->text(), QStringLiteral("Done."));
    QVERIFY(!ok->isHidden());
    QCOMPARE(ok->text(), QStringLiteral("OK"));
    QVERIFY(cancel->isHidden());

    // Empty is not null: the button shows, without a text.
    box.setContent(QStringLiteral("Update"), QStringLiteral("Done."), QString(), QLatin1String(""));
    QVERIFY(ok->isHidden());
    QVERIFY(!cancel->isHidden());
    QCOMPARE(cancel->text(), QString());
}

void TestZRMessageBox::keysDoNothing_data()
{
    QTest::addColumn<int>("key");
    QTest::newRow("Escape") << int(Qt::Key_Escape);
    QTest::newRow("Return") << int(Qt::Key_Return);
    QTest::newRow("Enter") << int(Qt::Key_Enter);
}

// Neither Escape nor Enter ends the box, on the box or on its focused button.
void TestZRMessageBox::keysDoNothing()
{
    QFETCH(int, key);

    ZRMessageBox box;
    box.setContent(QStringLiteral("Update"), QStringLiteral("Text"), QStringLiteral("OK"), QStringLiteral("Cancel"));
    QSignalSpy okSpy(&box, &ZRMessageBox::sigOkBtnClicked);
    QSignalSpy cancelSpy(&box, &ZRMessageBox::sigCancleBtnClicked);

    bool visibleAfterKeys = false;
    whenModal([&](ZRMessageBox *shown) {
        pressKey(shown, Qt::Key(key));
        visibleAfterKeys = shown->isVisible();
        button(shown, "btn_cancel")->click();
    });
    const int result = box.exec();

    QVERIFY(visibleAfterKeys);
    QCOMPARE(okSpy.count(), 0);
    QCOMPARE(cancelSpy.count(), 1);
    QCOMPARE(result, int(QDialog::Rejected));
}

void TestZRMessageBox::buttonResults()
{
    ZRMessageBox box;
    box.setContent(QStringLiteral("Update"), QStringLiteral("Text"), QStringLiteral("OK"), QString());
    QSignalSpy okSpy(&box, &ZRMessageBox::sigOkBtnClicked);
    QSignalSpy cancelSpy(&box, &ZRMessageBox::sigCancleBtnClicked);

    whenModal([](ZRMessageBox *shown) { QTest::mouseClick(button(shown, "btn_ok"), Qt::LeftButton); });
    QCOMPARE(box.exec(), int(QDialog::Accepted));
    QCOMPARE(okSpy.count(), 1);
    QCOMPARE(cancelSpy.count(), 0);

    box.setContent(QStringLiteral("Update"), QStringLiteral("Text"), QStringLiteral("OK"), QStringLiteral("Cancel"));
    whenModal([](ZRMessageBox *shown) { QTest::mouseClick(button(shown, "btn_cancel"), Qt::LeftButton); });
    QCOMPARE(box.exec(), int(QDialog::Rejected));
    QCOMPARE(okSpy.count(), 1);
    QCOMPARE(cancelSpy.count(), 1);
}

void TestZRMessageBox::noticeBox()
{
    QWidget parent;
    parent.move(5, 5);
    ZRMessageBox box(&parent, true);
    QVERIFY(button(&box, "btn_ok")->isHidden());
    QVERIFY(button(&box, "btn_cancel")->isHidden());
    QVERIFY(child<QLabel>(&box, "label_icon")->isHidden());

    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    const QPoint centred(screen.x() + (screen.width() - 442) / 2, screen.y() + (screen.height() - 258) / 2);
    QCOMPARE(box.pos(), centred);

    // Showing does not move it over its parent.
    box.show();
    QVERIFY(QTest::qWaitForWindowExposed(&box));
    QCOMPARE(box.pos(), centred);
    box.hide();
}

void TestZRMessageBox::countDown_data()
{
    QTest::addColumn<int>("seconds");
    QTest::addColumn<QStringList>("shown"); // after each tick, before the count-down runs out

    QTest::newRow("3 seconds") << 3 << QStringList{"00:00:03", "00:00:02", "00:00:01"};
    QTest::newRow("1 second") << 1 << QStringList{"00:00:01"};
    QTest::newRow("an hour, a minute, a second") << 3661 << QStringList{"01:01:01", "01:01:00", "01:00:59"};
    QTest::newRow("a minute") << 60 << QStringList{"00:01:00", "00:00:59"};
    QTest::newRow("100 hours") << 360000 << QStringList{"100:00:00", "99:59:59"};
}

// Ticks driven by hand: the display after each, then the OK signal once time is up,
// with the box still open and the last display kept.
void TestZRMessageBox::countDown()
{
    QFETCH(int, seconds);
    QFETCH(QStringList, shown);

    ZRMessageBox box;
    QSignalSpy okSpy(&box, &ZRMessageBox::sigOkBtnClicked);
    auto *time = child<QLineEdit>(&box, "m_LeftTimeLineEdit");
    box.startLeftTimer(seconds);
    QVERIFY(!time->isHidden());
    QVERIFY(!child<QLabel>(&box, "m_leftTimeLabel")->isHidden());
    QCOMPARE(time->text(), QString());

    for (const QString &expected : shown) {
        QVERIFY(QMetaObject::invokeMethod(&box, "slotDealLeftTimer"));
        QCOMPARE(time->text(), expected);
        QCOMPARE(okSpy.count(), 0);
    }
    if (shown.size() == seconds) {
        QVERIFY(QMetaObject::invokeMethod(&box, "slotDealLeftTimer"));
        QCOMPARE(okSpy.count(), 1);
        QCOMPARE(time->text(), shown.last());
    }
    box.stopLeftTimer();
}

void TestZRMessageBox::countDownFromZero()
{
    ZRMessageBox box;
    QSignalSpy okSpy(&box, &ZRMessageBox::sigOkBtnClicked);
    box.startLeftTimer(0);
    QVERIFY(QMetaObject::invokeMethod(&box, "slotDealLeftTimer"));
    QCOMPARE(okSpy.count(), 1);
    QCOMPARE(child<QLineEdit>(&box, "m_LeftTimeLineEdit")->text(), QString());
}

// The real timer: a count-down from 0 reports on its first tick, once.
void TestZRMessageBox::countDownRunsOnItsTimer()
{
    ZRMessageBox box;
    QSignalSpy okSpy(&box, &ZRMessageBox::sigOkBtnClicked);
    box.startLeftTimer(0);
    QVERIFY(okSpy.wait(10000));
    QTest::qWait(1500);
    QCOMPARE(okSpy.count(), 1);
}

void TestZRMessageBox::stopCountDown()
{
    ZRMessageBox box;
    QSignalSpy okSpy(&box, &ZRMessageBox::sigOkBtnClicked);
    box.startLeftTimer(1);
    box.stopLeftTimer();
    QVERIFY(child<QLineEdit>(&box, "m_LeftTimeLineEdit")->isHidden());
    QVERIFY(child<QLabel>(&box, "m_leftTimeLabel")->isHidden());
    QTest::qWait(1500);
    QCOMPARE(okSpy.count(), 0);
}

// The delay timer's first time-out after a show only notes it; the box stays.
void TestZRMessageBox::delayTimerLeavesBoxOpen()
{
    ZRMessageBox box;
    box.setDelayTime(10);
    box.show();
    QVERIFY(QTest::qWaitForWindowExposed(&box));
    QTest::qWait(200);
    QVERIFY(box.isVisible());
    box.hide();
}

QTEST_MAIN(TestZRMessageBox)
#include "tst_zrmessagebox.moc"
