#pragma once

#include <QString>
#include <QStringList>

// Finding the VLC media player and the command that starts it on a file's address. The search
// is a set of pure functions over a folder tree and a PATH text, so both the Windows and the
// Linux form can be checked against made-up trees.
namespace DVlc {

// The page that offers VLC for download.
inline const char* const DownloadPage = "https://www.videolan.org/vlc/";

// True for an existing regular file (or a link to one) that may be executed.
bool isExecutableFile(const QString& path);

// The Windows search: the folders directly under `root` whose absolute path contains
// "Program", the folders directly in those whose path contains "VideoLAN", and in them the
// file "vlc.exe"; the first executable one (absolute path), or empty.
QString findWindowsPlayer(const QString& root = QStringLiteral("C:/"));

// The usual places of the player on Linux, after PATH: the distribution's package, the snap
// and the system and user flatpak exports (`home` is the user's home folder).
QStringList linuxPlaces(const QString& home);
// The first executable "vlc" in the folders of `pathVariable` (":"-separated), then the first
// executable of `places`; empty when there is none.
QString findLinuxPlayer(const QString& pathVariable, const QStringList& places);

// The search of this platform.
QString findPlayer();

// The player's arguments for an address. "--" ends the options, so an address that starts
// with "-" is still played and can never add an option.
QStringList playerArguments(const QString& address);
// The Windows command line: both parts in double quotes, one space between them.
QString windowsCommandLine(const QString& player, const QString& address);

// The link of the "Install VLC" dialog: the page address encoded in the link, as text inside.
QString installLinkHtml(const QString& page = QString::fromLatin1(DownloadPage));

} // namespace DVlc
