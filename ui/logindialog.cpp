#include "ui/logindialog.h"

#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

LoginDialog::LoginDialog(QWidget* parent) : QDialog(parent)
{
    setWindowTitle(tr("Login..."));
    auto* grid = new QGridLayout(this);
    m_userEdit = new QLineEdit(this);
    m_passwordEdit = new QLineEdit(this);
    m_passwordEdit->setEchoMode(QLineEdit::Password);
    grid->addWidget(new QLabel(tr("Username or Email"), this), 0, 0, 1, 2);
    grid->addWidget(m_userEdit, 1, 0, 1, 2);
    grid->addWidget(new QLabel(tr("Password"), this), 2, 0, 1, 2);
    grid->addWidget(m_passwordEdit, 3, 0, 1, 2);
    auto* buttons = new QDialogButtonBox(this);
    QPushButton* login = buttons->addButton(tr("Login"), QDialogButtonBox::AcceptRole);
    connect(login, &QPushButton::clicked, this, &LoginDialog::onOK);
    connect(login, &QPushButton::clicked, this, &QDialog::accept);
    grid->addWidget(buttons, 4, 0);
    grid->setRowStretch(5, 1);
    connect(m_userEdit, &QLineEdit::editingFinished, this, &LoginDialog::onUserNameChanged);
}

QString LoginDialog::userName() const
{
    return m_userEdit->text();
}

QString LoginDialog::password() const
{
    return m_passwordEdit->text();
}

void LoginDialog::onUserNameChanged() {}

void LoginDialog::onOK() {}
