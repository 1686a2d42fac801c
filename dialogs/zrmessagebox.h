#ifndef ZRMESSAGEBOX_H
#define ZRMESSAGEBOX_H

#include "dialogs/zrdialog.h"

#include <memory>

class QTimer;

namespace Ui {
class ZRMessageBox;
}

// The updater's message box: a text, an OK and a Cancel button and an optional
// count-down. A notice box (mode true) has no buttons and no icon and sits in the
// middle of the screen. Keys are ignored, so Escape does not reject the box and Enter
// does not press a button: only the buttons and the title bar end it.
class ZRMessageBox : public ZRDialog
{
    Q_OBJECT

public:
    explicit ZRMessageBox(QWidget *parent = nullptr, bool mode = false);
    ~ZRMessageBox() override;

    // A null button text hides the button; any other text, an empty one too, shows it.
    void setContent(const QString &title, const QString &text, const QString &okText, const QString &cancelText);

    // Shows the remaining time as hh:mm:ss, one tick a second, and emits
    // sigOkBtnClicked() once it has run out (the box itself stays open).
    void startLeftTimer(int seconds);
    void stopLeftTimer();

    // Interval of the one-shot timer started whenever the box is shown.
    void setDelayTime(int milliseconds);

    // The form's widgets, for the owner that places or relabels them.
    Ui::ZRMessageBox *form() const { return ui.get(); }

signals:
    void sigOkBtnClicked();
    void sigCancleBtnClicked();

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void showEvent(QShowEvent *event) override;
    virtual void customInit();

private slots:
    void slotDealLeftTimer();
    void onDelayTimerOut();

private:
    std::unique_ptr<Ui::ZRMessageBox> ui;
    bool m_mode = false;
    std::unique_ptr<QTimer> m_leftTimer;
    std::unique_ptr<QTimer> m_delayTimer;
    int m_leftTime = 0;
    int m_delayTime = 1000;
    bool m_delayPassed = false;
};

#endif // ZRMESSAGEBOX_H
