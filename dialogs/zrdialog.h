#ifndef ZRDIALOG_H
#define ZRDIALOG_H

#include <QDialog>

// The base of the updater's dialogs: modal, with a title bar that carries only a
// close button (no context help).
class ZRDialog : public QDialog
{
    Q_OBJECT

public:
    explicit ZRDialog(QWidget *parent = nullptr);
};

#endif // ZRDIALOG_H
