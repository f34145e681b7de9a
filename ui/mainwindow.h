#pragma once

#include <QMainWindow>
#include <QTime>

class DCommandManager;
class DWidgetPrompt;
class QAction;
class QCloseEvent;
class QShowEvent;
class QSystemTrayIcon;
class QTextBrowser;
class QTimer;

// The program's main window and the owner of the engine. It builds its widgets on the first
// show, starts the engine, logs in with the last successful account, and restores the
// unfinished transfers after a login.
class MainWindow : public QMainWindow
{
    Q_OBJECT
public:
    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    DCommandManager* engine() const { return m_engine; }
    bool isMinToTray() const;
    void setTrayIconHidden(bool hidden);
    bool isBuilt() const { return m_built; }
    QString loginActionText() const;
    QString vlcPath() const { return m_vlcPath; }

    // --- Video preview (mainwindow_vlc.cpp) -----------------------------------------------
    // Starts the VLC player on a playable file's address (searching for it first if needed).
    void playInVlc(const QString& address);
    // Settles the VLC path: the remembered "VLCPath" if executable, else a search of the usual
    // places, else the "Install VLC" dialog; writes the result to "VLCPath".
    void findVlc();
    // From the options dialog: takes an executable file, refuses anything else.
    void setVlcPath(const QString& path);

public slots:
    void showAppplication();

    // --- Power-off countdown (mainwindow_poweroff.cpp) ------------------------------------
    void shutDownRequested();
    void updateShutDownMessage();
    void onTrayMessageClicked();
    void shutdownMachine();

private slots:
    void engineStarted();
    void loginSuccess();
    void updateUserInfo(const QString& html);
    void onLoginLogOut();
    void onAppQuit();

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void build();
    void createTrayIcon();
    void connectEngine();
    void writeWindowSettings();
    // Power-off countdown (mainwindow_poweroff.cpp).
    void showShutDownNotice(const QString& text, int displayMs);
    void hideShutDownNotice();

    DCommandManager* m_engine = nullptr;
    DWidgetPrompt* m_prompt = nullptr;
    QSystemTrayIcon* m_trayIcon = nullptr;
    QAction* m_powerOffAction = nullptr;
    QAction* m_loginAction = nullptr;
    QTextBrowser* m_infoBrowser = nullptr;
    QTimer* m_countdownTimer = nullptr;
    bool m_shutdownPending = false;
    QString m_trayMessageTitle;
    QTime m_timeLeft;
    bool m_busy = false;
    bool m_built = false;
    // Video preview: the player's executable, empty until known.
    QString m_vlcPath;
};
