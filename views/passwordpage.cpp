#include "passwordpage.h"

#include "ui_mainform.h"

#include <QLineEdit>

PasswordPage::PasswordPage(int maxLength, QWidget *parent)
    : QWidget(parent)
    , m_ui(std::make_unique<Ui::MainForm>())
{
    m_ui->setupUi(this);
    m_ui->lineEdit->setMaxLength(maxLength);
}

PasswordPage::~PasswordPage() = default;

QLineEdit *PasswordPage::lineEdit() const
{
    return m_ui->lineEdit;
}

void PasswordPage::showRetryIn(int seconds)
{
    m_ui->lineEdit->setPlaceholderText(
        seconds > 0 ? QStringLiteral("Try again in %1 s").arg(seconds) : QString());
}
