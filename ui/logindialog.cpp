#include "ui/logindialog.h"

#include "engine/datafolder.h"
#include "engine/dcommandmanager.h"
#include "support/dkeyring.h"
#include "support/dscramble.h"

#include <QCheckBox>
#include <QCompleter>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QStringListModel>
#include <QStringDecoder>

#include <memory>

namespace {

const QString NamesKey = QStringLiteral("param1s");
const QString PasswordsKey = QStringLiteral("param2s");
constexpr long KeyLength = 2; // the scramble key in front of every item

// Texts are scrambled as UTF-8, so no character is lost.
QString scrambled(const QString& plain)
{
    const QByteArray bytes = plain.toUtf8();
    // An empty text still gets its key, so that an empty password keeps its place in the list.
    const std::unique_ptr<char[]> text(bytes.isEmpty()
                                           ? RandomText(KeyLength).ToHex()
                                           : Scramble(CByte(bytes.constData())).ToString());
    return QString::fromLatin1(text.get());
}

// Files written by earlier versions hold Latin-1 text; anything that is not UTF-8 is read so.
QString unscrambled(const QString& item)
{
    const CByte plain = Unscramble(CByte(item.toLatin1().constData()));
    const QByteArray bytes(reinterpret_cast<const char*>(plain.GetData()),
                           static_cast<int>(plain.GetLength()));
    QStringDecoder utf8(QStringDecoder::Utf8);
    const QString text = utf8(bytes);
    return utf8.hasError() ? QString::fromLatin1(bytes) : text;
}

QStringList readList(const QSettings& settings, const QString& key)
{
    QStringList result;
    const QStringList items = settings.value(key).toStringList();
    for (const QString& item : items) {
        if (!item.trimmed().isEmpty())
            result.append(unscrambled(item.trimmed()));
    }
    return result;
}

} // namespace

LoginDialog::LoginDialog(QWidget* parent, DKeyring* keyring) : QDialog(parent), m_keyring(keyring)
{
    setWindowTitle(tr("Login..."));
    auto* grid = new QGridLayout(this);
    m_userEdit = new QLineEdit;
    m_passwordEdit = new QLineEdit;
    m_passwordEdit->setEchoMode(QLineEdit::Password);
    m_remember = new QCheckBox(tr("Remember"));
    auto* buttons = new QDialogButtonBox;
    QPushButton* login = buttons->addButton(tr("Login"), QDialogButtonBox::AcceptRole);
    login->setDefault(true);

    grid->addWidget(new QLabel(tr("Username or Email")), 0, 0, 1, 2);
    grid->addWidget(m_userEdit, 1, 0, 1, 2);
    grid->addWidget(new QLabel(tr("Password")), 2, 0, 1, 2);
    grid->addWidget(m_passwordEdit, 3, 0, 1, 2);
    grid->addWidget(buttons, 4, 0);
    grid->addWidget(m_remember, 4, 1);
    grid->setRowStretch(5, 1);

    connect(login, &QPushButton::clicked, this, &LoginDialog::onOK);
    connect(login, &QPushButton::clicked, this, &QDialog::accept);
    connect(m_userEdit, &QLineEdit::editingFinished, this, &LoginDialog::onUserNameChanged);

    load();
    m_namesModel = new QStringListModel(m_names, this);
    auto* completer = new QCompleter(m_namesModel, this);
    completer->setCompletionMode(QCompleter::PopupCompletion);
    m_userEdit->setCompleter(completer);
    resize(320, sizeHint().height());
}

LoginDialog::~LoginDialog()
{
    save();
}

QString LoginDialog::userName() const
{
    return m_userEdit->text();
}

QString LoginDialog::password() const
{
    return m_passwordEdit->text();
}

void LoginDialog::onUserNameChanged()
{
    const int at = m_names.indexOf(m_userEdit->text());
    if (at >= 0)
        m_passwordEdit->setText(m_passwords.at(at));
}

void LoginDialog::onOK()
{
    if (!m_remember->isChecked())
        return;
    const QString name = m_userEdit->text();
    if (name.trimmed().isEmpty())
        return; // nothing to complete later
    const int at = m_names.indexOf(name);
    if (at >= 0) {
        m_passwords[at] = m_passwordEdit->text();
        m_inKeyring[at] = false; // the file holds it until a login shows that it is right
    } else {
        m_names.append(name);
        m_passwords.append(m_passwordEdit->text());
        m_inKeyring.append(false);
        m_namesModel->setStringList(m_names);
    }
    save();
}

void LoginDialog::moveToKeyring()
{
    if (!m_keyring || !m_keyring->isUsable())
        return;
    for (int at = 0; at < m_names.size(); ++at) {
        if (m_inKeyring.at(at) || m_passwords.at(at).isEmpty())
            continue;
        const QString name = m_names.at(at);
        const QString password = m_passwords.at(at);
        m_keyring->write(DKeyring::accountKey(name), password, this,
                         [this, at, name, password](bool stored) {
                             // Only what the keyring holds leaves the file.
                             if (!stored || m_passwords.at(at) != password)
                                 return;
                             m_inKeyring[at] = true;
                             save();
                         });
    }
}

// A password in the file is newer than the keyring's (the keyring refused it in an earlier run),
// so only the names without one are looked up.
void LoginDialog::fetchFromKeyring(int at)
{
    const QString name = m_names.at(at);
    m_keyring->read(DKeyring::accountKey(name), this,
                    [this, at, name](bool found, const QString& password) {
                        if (!found || !m_passwords.at(at).isEmpty())
                            return; // typed meanwhile: the user's text wins
                        m_passwords[at] = password;
                        m_inKeyring[at] = true;
                        if (m_userEdit->text() == name && m_passwordEdit->text().isEmpty())
                            m_passwordEdit->setText(password);
                    });
}

void LoginDialog::load()
{
    const QSettings settings(DCommandManager::settingsFilePath(), QSettings::IniFormat);
    m_passwords = readList(settings, PasswordsKey);
    m_names = readList(settings, NamesKey);
    // A name stored without a password (files of earlier versions skipped empty ones) is kept,
    // with an empty password, so that every later pair stays matched by position.
    while (m_passwords.size() < m_names.size())
        m_passwords.append(QString());
    m_passwords = m_passwords.mid(0, m_names.size());
    m_inKeyring = QList<bool>(m_names.size(), false);
    if (!m_keyring || !m_keyring->isUsable())
        return;
    for (int at = 0; at < m_names.size(); ++at) {
        if (m_passwords.at(at).isEmpty())
            fetchFromKeyring(at);
    }
}

// Names and passwords are written pair by pair, so that they stay matched by position.
void LoginDialog::save() const
{
    QStringList names;
    QStringList passwords;
    bool passwordInFile = false;
    for (int i = 0; i < m_names.size(); ++i) {
        if (m_names.at(i).trimmed().isEmpty())
            continue;
        names.append(scrambled(m_names.at(i)));
        // A password the keyring keeps leaves an empty item, to hold the places of the others.
        const QString password = m_inKeyring.at(i) ? QString() : m_passwords.at(i);
        passwords.append(scrambled(password));
        passwordInFile = passwordInFile || !password.isEmpty();
    }
    // The passwords are only scrambled: the file is the owner's alone.
    createOwnerOnly(DCommandManager::settingsFilePath());
    QSettings settings(DCommandManager::settingsFilePath(), QSettings::IniFormat);
    settings.setValue(NamesKey, names);
    if (!passwordInFile && m_inKeyring.contains(true))
        settings.remove(PasswordsKey); // the keyring keeps them all
    else
        settings.setValue(PasswordsKey, passwords);
}
