#include "passwordform.h"

#include <QLineEdit>

QLineEdit *buildPasswordForm(QWidget *page, Ui_MainForm *form, int maxLength)
{
    form->setupUi(page);
    form->lineEdit->setMaxLength(maxLength);
    return form->lineEdit;
}
