#include "dialogs/zrdialog.h"

ZRDialog::ZRDialog(QWidget *parent)
    : QDialog(parent)
{
    setModal(true);
    setWindowFlags(Qt::Dialog | Qt::WindowCloseButtonHint);
}
