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

    // Checks every pasted link and appends the confirmed ones to the three lists. One dialog at
    // a time: the progress (with "Cancel") while the check runs, then one report of the links
    // the service did not confirm and of those that are no links of the service. Cancelling
    // keeps the links confirmed so far and still reports.
    void checkLinks(QStringList& names, QStringList& ids, QStringList& links);
    // The service's answer for one link, or an error text (see DLinkCheck::checkOneLink).
    QString checkOneLink(const QString& link);
    static QString linkId(const QString& link);

    // Link checks use the engine's proxy.
    void setEngine(const DCommandManager* engine);

private:
    // Runs the checks under the progress dialog, which is gone when this returns.
    void runChecks(const QStringList& candidates, QStringList& names, QStringList& ids,
                   QStringList& links, QStringList& refused, QStringList& invalid);
    // The final report: "INVALID LINK2: <answer>" per refused link, then the links that are
    // not the service's; long lists and lines are clipped.
    static QString report(const QStringList& refused, const QStringList& invalid);
    static QStringList clipped(const QStringList& lines);

    QPlainTextEdit* m_text = nullptr;
    QCheckBox* m_showAfterLogin = nullptr;
    QThread* m_worker = nullptr;
    DLinkCheck* m_check = nullptr;
};
