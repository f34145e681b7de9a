#pragma once

#include <QDialog>

class QLineEdit;

// The dialog in which the user types the account name and password.
class LoginDialog : public QDialog
{
    Q_OBJECT
public:
    explicit LoginDialog(QWidget* parent = nullptr);

    QString userName() const;
    QString password() const;

private slots:
    void onUserNameChanged();
    void onOK();

private:
    QLineEdit* m_userEdit;
    QLineEdit* m_passwordEdit;
};
