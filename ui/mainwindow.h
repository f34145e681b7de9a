#pragma once

#include <QMainWindow>

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
    void setVlcPath(const QString& path) { m_vlcPath = path; }

public slots:
    void showAppplication();

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

    DCommandManager* m_engine = nullptr;
    DWidgetPrompt* m_prompt = nullptr;
    QSystemTrayIcon* m_trayIcon = nullptr;
    QAction* m_powerOffAction = nullptr;
    QAction* m_loginAction = nullptr;
    QTextBrowser* m_infoBrowser = nullptr;
    QTimer* m_countdownTimer = nullptr;
    bool m_busy = false;
    bool m_built = false;
    QString m_vlcPath;
};
