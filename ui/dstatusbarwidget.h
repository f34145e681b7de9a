#pragma once

#include <QWidget>

class QLabel;
class QToolButton;

// The main window's permanent status-bar widget: the total transfer speeds, with a download
// and an upload icon that show while transfers of that direction run.
class DStatusBarWidget : public QWidget
{
    Q_OBJECT
public:
    explicit DStatusBarWidget(QWidget* parent = nullptr);

    void setMessage(const QString& text);
    QString message() const;
    void setDownloadIconVisible(bool visible);
    void setUploadIconVisible(bool visible);
    bool isDownloadIconVisible() const;
    bool isUploadIconVisible() const;

    // The total speeds (KB/s) and how many transfers of each direction show a speed.
    struct Totals
    {
        double down = 0;
        double up = 0;
        int downloads = 0;
        int uploads = 0;
    };
    // Each entry is a direction (2 download, anything else upload) and the text of its state
    // column; only states that show a speed ("120 KB/s") count.
    static Totals totalsOf(const QList<QPair<int, QString>>& directionsAndStates);
    // Shows the message and icons of these totals.
    void showTotals(const Totals& totals);
    void showTotals(const QList<QPair<int, QString>>& directionsAndStates)
    {
        showTotals(totalsOf(directionsAndStates));
    }

private:
    QLabel* m_label;
    QToolButton* m_downloadIcon;
    QToolButton* m_uploadIcon;
};
