#include "passwordpage.h"

#include "ui_mainform.h"

#include <QLineEdit>
#include <QPushButton>

namespace {
// Where the keyboard's Cancel key stands under the field, and as large: a finger that
// knows it finds it there during a pause too.
const QRect kCancelKey(690, 389, 80, 60);
constexpr int kCancelFontPoints = 12;
} // namespace

PasswordPage::PasswordPage(int maxLength, QWidget *parent)
    : QWidget(parent)
    , m_ui(std::make_unique<Ui::MainForm>())
{
    m_ui->setupUi(this);
    m_ui->lineEdit->setMaxLength(maxLength);
    m_cancel = new QPushButton(QStringLiteral("Cancel"), this);
    m_cancel->setObjectName(QStringLiteral("pauseCancelButton"));
    m_cancel->setGeometry(kCancelKey);
    QFont font(QStringLiteral("Arial"));
    font.setPointSize(kCancelFontPoints);
    m_cancel->setFont(font);
    // Like the keyboard's keys: a tap never takes the focus, and no typed key presses it.
    m_cancel->setFocusPolicy(Qt::NoFocus);
    m_cancel->hide();
    connect(m_cancel, &QPushButton::clicked, this, &PasswordPage::cancelPressed);
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
    m_cancel->setVisible(seconds > 0);
}
