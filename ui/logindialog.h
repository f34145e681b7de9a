#pragma once

#include <QDialog>
#include <QStringList>

class QCheckBox;
class QLineEdit;
class QStringListModel;

// Entry of the account name and password. With "Remember" ticked, OK stores the pair in the
// settings file ("param1s" names, "param2s" passwords, each item scrambled); remembered names
// complete while typing, and a remembered name fills in its password once its editing ends.
// Names match case-sensitively. The lists are saved again when the dialog is destroyed.
class LoginDialog : public QDialog
{
    Q_OBJECT
public:
    explicit LoginDialog(QWidget* parent = nullptr);
    ~LoginDialog() override;

    QString userName() const;
    QString password() const;

private slots:
    void onUserNameChanged();
    void onOK();

private:
    void load();
    void save() const;

    QLineEdit* m_userEdit = nullptr;
    QLineEdit* m_passwordEdit = nullptr;
    QCheckBox* m_remember = nullptr;
    QStringList m_names;
    QStringList m_passwords; // entry i belongs to m_names entry i
    QStringListModel* m_namesModel = nullptr;
};
