#pragma once

#include <QString>
#include <QStringList>

// The command that powers the computer off after the transfers, in one place. On Linux it is
// "systemctl poweroff" (logind lets the user at the seat do it without root); the environment
// variable FERRYDESK_SHUTDOWN_COMMAND replaces it (tests point it at a script that records its
// call). The command is split into a program and its arguments and started without a shell.
namespace DShutdown {

// The Windows command: shut down, close running programs, no delay.
inline const char* const WindowsCommand = "shutdown -s -f -t 0";

enum Platform
{
    Linux,
    Windows
};

// The program and its arguments for a platform; a non-empty `override` replaces them.
QStringList commandFor(Platform platform, const QString& override);
// The command of this platform after FERRYDESK_SHUTDOWN_COMMAND.
QStringList command();
// Starts the command and does not wait for it; false when it could not be started.
bool powerOff();

} // namespace DShutdown
