#pragma once

#include <QDialog>

class DCommandManager;
class MainWindow;
class QCheckBox;
class QGroupBox;
class QLineEdit;

// The preferences: the engine's limits, speed caps, proxy and start-up choices and the VLC
// path, in two tabs. OK writes every value into the engine at once and runs a scheduling pass;
// the settings file is written when the engine goes. Closing the window changes nothing.
// A field holding text that is not a number is refused (the dialog stays open, the stored
// value is kept); an empty field counts as 0.
class OptionsDialog : public QDialog
{
    Q_OBJECT
public:
    OptionsDialog(DCommandManager* engine, MainWindow* window);

    // Runs the dialog modally and applies the values when it ends with OK.
    void execAndApply();
    // Shows power-off as armed elsewhere (the tray's action) while the dialog is open.
    void showPowerOff(bool armed);

public slots:
    void accept() override;

private:
    QWidget* buildTransfersTab();
    QWidget* buildGeneralTab();
    void load();
    void apply();
    // The first field whose text is not a number, or null.
    QLineEdit* firstInvalidField() const;

    QLineEdit* m_maxTransfersEdit = nullptr;
    QLineEdit* m_maxDownloadsEdit = nullptr;
    QLineEdit* m_maxUploadsEdit = nullptr;
    QLineEdit* m_downLimitEdit = nullptr;
    QLineEdit* m_upLimitEdit = nullptr;
    QLineEdit* m_vlcPathEdit = nullptr;
    QLineEdit* m_proxyHostEdit = nullptr;
    QLineEdit* m_proxyUserEdit = nullptr;
    QLineEdit* m_proxyPasswordEdit = nullptr;
    QLineEdit* m_proxyPortEdit = nullptr;
    QGroupBox* m_proxyGroup = nullptr;
    QGroupBox* m_limitsGroup = nullptr;
    DCommandManager* m_engine = nullptr;
    QCheckBox* m_minToTrayBox = nullptr;
    QCheckBox* m_powerOffBox = nullptr;
    MainWindow* m_window = nullptr;
    QCheckBox* m_osStartBox = nullptr;
    QCheckBox* m_startAtOnceBox = nullptr;
};
