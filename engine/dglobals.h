#pragma once

#include <QString>

#include <atomic>

// Process-wide values shared by the engine, the request builder, the transfers and start-up.
// Flags and numbers are atomics because worker threads read them while the user-interface
// thread writes them; texts are guarded by one mutex inside the accessors.
namespace DGlobals {

// The program version that every request and the window title carry.
inline const char* const Version = "2.56";

// Start-up flags ("-m" and "-d").
extern std::atomic<bool> startedByOs;
extern std::atomic<bool> dumpResponses;

// Account values written by the login answer.
extern std::atomic<bool> canModify;
extern std::atomic<bool> canDownload;
extern std::atomic<int> uploadSpeedCap; // KB/s, 0 = no cap

// Global speed caps in KB/s (0 = none).
extern std::atomic<double> MaxDownSpeed;
extern std::atomic<double> MaxUpSpeed;

QString serviceHost();
void setServiceHost(const QString& host);
QString servicePort();
void setServicePort(const QString& port);
// Port of the "https://" requests; empty when it is the default 443.
QString securePort();
void setSecurePort(const QString& port);
// Extra certificate authorities trusted for HTTPS (a PEM file), empty for none.
QString caFile();
void setCaFile(const QString& path);

QString machineId();
void setMachineId(const QString& id);
QString userName();
void setUserName(const QString& name);
QString ftpHost();
void setFtpHost(const QString& host);
QString ftpPort();
void setFtpPort(const QString& port);

// Puts every value back to its start-of-process state (tests build several managers).
void resetForTests();

} // namespace DGlobals
