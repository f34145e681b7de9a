#pragma once

#include <QObject>
#include <QString>

#include <functional>

// Passwords in the desktop's keyring: the Secret Service of the session bus, through
// qtkeychain. Every call is asynchronous and answers on the event loop, within TimeoutMs at
// the latest. The keyring is used only where a Secret Service runs; one that refuses, is
// locked or does not answer in time is given up for the rest of the run (one line in the log),
// and the callers keep their passwords in the settings file instead.
class DKeyring : public QObject
{
    Q_OBJECT
public:
    // An unlock prompt of the desktop may take the user a while; tests scale it down.
    static constexpr int TimeoutMs = 30000;

    // found: the keyring holds a password under the key; false also when it gave no answer.
    using ReadDone = std::function<void(bool found, const QString& password)>;
    using WriteDone = std::function<void(bool stored)>;

    explicit DKeyring(QObject* parent = nullptr);

    // Whether passwords go to the keyring in this run.
    bool isUsable();
    // `done` runs only while `context` lives.
    void read(const QString& key, QObject* context, ReadDone done);
    void write(const QString& key, const QString& password, QObject* context, WriteDone done);
    void remove(const QString& key);

    // Keys of the remembered accounts' passwords and of the last successful login's.
    static QString accountKey(const QString& user);
    static QString lastLoginKey(const QString& user);

private:
    void giveUp(const QString& why);

    enum class State
    {
        Unknown,
        Usable,
        GivenUp
    };
    State m_state = State::Unknown;
};
