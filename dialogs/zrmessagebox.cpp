#include "dialogs/zrmessagebox.h"

#include "context/stringtable.h"
#include "ui_zrmessagebox.h"

#include <QGuiApplication>
#include <QKeyEvent>
#include <QPixmap>
#include <QScreen>
#include <QTimer>

ZRMessageBox::ZRMessageBox(QWidget *parent, bool mode)
    : ZRDialog(parent)
    , ui(new Ui::ZRMessageBox)
    , m_mode(mode)
{
    ui->setupUi(this);

    m_leftTime = 0;
    m_leftTimer.reset(new QTimer);
    m_delayTimer.reset(new QTimer);
    m_delayTimer->setSingleShot(true);
    m_delayTime = 1000;
    m_delayTimer->setInterval(m_delayTime);
    m_delayPassed = false;
    connect(m_delayTimer.get(), &QTimer::timeout, this, &ZRMessageBox::onDelayTimerOut);

    ui->label_text->setAlignment(Qt::AlignVCenter);
    ui->label_text->setWordWrap(true);
    ui->m_leftTimeLabel->setAlignment(Qt::AlignVCenter);
    ui->m_leftTimeLabel->setWordWrap(true);
    ui->m_leftTimeLabel->setText(getString(364));
    ui->m_leftTimeLabel->hide();
    ui->m_LeftTimeLineEdit->hide();
    ui->m_LeftTimeLineEdit->setReadOnly(true);
    // A focused auto-default button would click itself on Enter before the box's
    // key handler could swallow the key.
    ui->btn_ok->setAutoDefault(false);
    ui->btn_cancel->setAutoDefault(false);

    if (m_mode) {
        ui->label_icon->hide();
        ui->btn_cancel->hide();
        ui->btn_ok->hide();
        // The screen the box opens on, not the whole virtual desktop: with two monitors
        // side by side the desktop's centre lies on the seam between them.
        if (const QScreen *screen = QGuiApplication::primaryScreen()) {
            const QRect area = screen->geometry();
            move(area.x() + (area.width() - width()) / 2, area.y() + (area.height() - height()) / 2);
        }
    } else {
        const QPixmap noPicture;
        ui->label_icon->setText(QString());
        ui->label_icon->setPixmap(noPicture);
        ui->label_icon->resize(noPicture.size());
        ui->label_icon->hide();
    }

    connect(ui->btn_ok, &QPushButton::clicked, this, &QDialog::accept);
    connect(ui->btn_cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(ui->btn_ok, &QPushButton::clicked, this, &ZRMessageBox::sigOkBtnClicked);
    connect(ui->btn_cancel, &QPushButton::clicked, this, &ZRMessageBox::sigCancleBtnClicked);
    connect(m_leftTimer.get(), &QTimer::timeout, this, &ZRMessageBox::slotDealLeftTimer);

    setAttribute(Qt::WA_ShowModal);
}

ZRMessageBox::~ZRMessageBox() = default;

void ZRMessageBox::setContent(const QString &title, const QString &text, const QString &okText,
                              const QString &cancelText)
{
    ui->btn_ok->setVisible(!okText.isNull());
    ui->btn_ok->setText(okText);
    ui->btn_cancel->setVisible(!cancelText.isNull());
    ui->btn_cancel->setText(cancelText);
    setWindowTitle(title);
    ui->label_text->setText(text);
}

void ZRMessageBox::startLeftTimer(int seconds)
{
    ui->m_leftTimeLabel->show();
    ui->m_LeftTimeLineEdit->show();
    m_leftTime = seconds;
    m_leftTimer->start(1000);
}

void ZRMessageBox::stopLeftTimer()
{
    ui->m_leftTimeLabel->hide();
    ui->m_LeftTimeLineEdit->hide();
    m_leftTime = 0;
    if (m_leftTimer->isActive())
        m_leftTimer->stop();
}

void ZRMessageBox::setDelayTime(int milliseconds)
{
    m_delayTime = milliseconds;
}

void ZRMessageBox::keyPressEvent(QKeyEvent *event)
{
    // Swallowed: QDialog would reject on Escape and press the default button on Enter.
    Q_UNUSED(event)
}

void ZRMessageBox::showEvent(QShowEvent *event)
{
    // Replaces QDialog's handling on purpose: the box keeps the place it was given
    // (a notice box the screen's centre) instead of being centred over its parent.
    Q_UNUSED(event)
    m_delayPassed = false;
    m_delayTimer->setInterval(m_delayTime);
    m_delayTimer->start();
}

void ZRMessageBox::customInit()
{
}

void ZRMessageBox::slotDealLeftTimer()
{
    if (m_leftTime < 1) {
        m_leftTimer->stop();
        emit sigOkBtnClicked();
        return;
    }
    const QChar zero(QLatin1Char('0'));
    ui->m_LeftTimeLineEdit->setText(QStringLiteral("%1:%2:%3")
                                        .arg(m_leftTime / 3600, 2, 10, zero)
                                        .arg((m_leftTime / 60) % 60, 2, 10, zero)
                                        .arg(m_leftTime % 60, 2, 10, zero));
    --m_leftTime;
}

void ZRMessageBox::onDelayTimerOut()
{
    if (m_delayPassed)
        close();
    else
        m_delayPassed = true;
}
