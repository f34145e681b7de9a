#pragma once

#include <QDialog>
#include <QString>
#include <QStringList>

class DCommandManager;
class DLinkCheck;
class QCheckBox;
class QPlainTextEdit;
class QThread;

// The dialog that takes pasted public file links of the service. After it is accepted,
// checkLinks() confirms every link with the service and yields three parallel lists (names,
// ids and display links) for the download queue. The checks run one after the other on a
// worker thread while a progress dialog with "Cancel" keeps the window responsive.
class DownloadList : public QDialog
{
    Q_OBJECT
public:
    explicit DownloadList(QWidget* parent = nullptr);
    ~DownloadList() override;

    // The "Show this dialog after login" box, mirrored in the setting "ShowDownloadList".
    bool showAfterLogin() const;
    void setShowAfterLogin(bool show);

    // Checks every pasted link and appends the confirmed ones to the three lists. Links that
    // are no links of the service are reported together at the end; links the service does
    // not confirm are reported one by one. Cancelling the check appends nothing.
    void checkLinks(QStringList& names, QStringList& ids, QStringList& links);
    // The service's answer for one link, or an error text (see DLinkCheck::checkOneLink).
    QString checkOneLink(const QString& link);
    static QString linkId(const QString& link);

    // Link checks use the engine's proxy.
    void setEngine(const DCommandManager* engine);

private:
    // The text of the final report: one line per link that is not one of the service's.
    static QString invalidReport(const QStringList& invalid);

    QPlainTextEdit* m_text = nullptr;
    QCheckBox* m_showAfterLogin = nullptr;
    QThread* m_worker = nullptr;
    DLinkCheck* m_check = nullptr;
};
