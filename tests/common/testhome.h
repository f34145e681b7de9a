#pragma once

#include <QByteArray>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

// Gives a test its own empty HOME (and so its own data folder, settings and log) for as long
// as the object lives, and resets the engine's process-wide values.
class TestHome
{
public:
    TestHome();
    ~TestHome() { qputenv("HOME", m_previousHome); }

    QString path() const { return m_dir.path(); }
    QString dataFolder() const { return m_dir.path() + QStringLiteral("/.dftp"); }
    // Every line of the log file so far.
    QStringList logLines() const;

private:
    QTemporaryDir m_dir;
    QByteArray m_previousHome;
};

// Writes a whole file, making its folder first; a non-empty `mode` replaces its permissions.
bool writeFile(const QString& path, const QByteArray& content, QFile::Permissions mode = {});
// The whole file, empty when it cannot be read.
QByteArray readFile(const QString& path);
// Asks a helper process to end, and kills it when it has not ended within 5 s.
void stopProcess(QProcess& process);
