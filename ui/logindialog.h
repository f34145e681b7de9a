#pragma once

#include <QDialog>
#include <QStringList>

class DKeyring;
class QCheckBox;
class QLineEdit;
class QStringListModel;

// Entry of the account name and password. With "Remember" ticked, OK stores the pair in the
// settings file ("param1s" names, "param2s" passwords, each item scrambled); remembered names
// complete while typing, and a remembered name fills in its password once its editing ends.
// Names match case-sensitively. The lists are saved again when the dialog is destroyed.
// With a keyring the passwords live there after the first successful login, and "param2s" goes
// from the file; a password the keyring does not take stays in the file.
class LoginDialog : public QDialog
{
    Q_OBJECT
public:
    explicit LoginDialog(QWidget* parent = nullptr, DKeyring* keyring = nullptr);
    ~LoginDialog() override;

    QString userName() const;
    QString password() const;
    // After a successful login: the remembered passwords still in the file move to the keyring.
    void moveToKeyring();

private slots:
    void onUserNameChanged();
    void onOK();

private:
    void load();
    void save() const;
    void fetchFromKeyring(int at);

    QLineEdit* m_userEdit = nullptr;
    QLineEdit* m_passwordEdit = nullptr;
    QCheckBox* m_remember = nullptr;
    QStringList m_names;
    QStringList m_passwords; // entry i belongs to m_names entry i
    QList<bool> m_inKeyring; // entry i's password is kept by the keyring, not the file
    DKeyring* m_keyring = nullptr;
    QStringListModel* m_namesModel = nullptr;
};
