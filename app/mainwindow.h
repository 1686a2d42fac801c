#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include <QMainWindow>

// The updater's only window. Its construction does the program's start-up work.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

private:
    void initData();
};

#endif // MAINWINDOW_H
