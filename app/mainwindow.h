#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include "driver/updatesequence.h"

#include <QMainWindow>

#include <memory>

class CVUpdater;

namespace Ui {
class MainWindow;
}

// The updater's only window. Its construction does the program's start-up work (log,
// string table, plug-in path, style, update manager); it shows the installed and the
// package version and the installation path, adds up the progress the update reports,
// and shows the boxes in which the outcome of an update or restore is reported.
class MainWindow : public QMainWindow, private UpdateSequence::Observer
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // The style sheet that keeps the text of disabled widgets black.
    static QString disabledStyleSheet();

    // Enables or disables the closing and the Update button together.
    void setButtonsEnabled(bool enabled);

    // Modal result boxes with one button (text 10 when buttonText is empty); both
    // return the box's result. The result box has no title-bar buttons, so its one
    // button is the only way out; the finish box keeps its close button.
    int showResultBox(const QString &title, const QString &text, const QString &buttonText);
    // text, followed by the message that a restore kept the database aside, if one did.
    QString withKeptDatabase(const QString &text) const;
    int showFinishBox(const QString &title, const QString &text, const QString &buttonText);
    // The failure box of an update refused because other programs hold the
    // installation's files: Retry (accepted) and Close.
    int showRetryBox(const QString &title, const QString &text);

public slots:
    // The Update button: the whole update, reported in a box. After success the window
    // closes; after a failure the buttons are enabled again.
    void slotStartUpdate();
    // Adds a progress increment to the bar, capped at 100 (the update's increments reach
    // the bar through the sequence, which caps them alike).
    void slotProcessAddValue(int value);
    // The (normally hidden) Restore button: puts the backup back over the installation.
    void slotRestore();

private:
    const char *logSignature() const override;
    void stageStarted(UpdateSequence::Stage stage) override;
    int progress() const override;
    void setProgress(int value) override;

    // One update and its box; true when the user asked to run it again (Retry).
    bool runUpdate();
    void initData();
    void initUi();
    void initConnect();
    int showBox(const QString &title, const QString &text, const QString &buttonText, bool finish);

    std::unique_ptr<Ui::MainWindow> ui;
    CVUpdater *m_updater = nullptr;
};

#endif // MAINWINDOW_H
