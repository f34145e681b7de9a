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

    // Recomputes the message and icons from the running transfers' states: each entry is a
    // direction (2 download, anything else upload) and the text of its state column.
    void showTotals(const QList<QPair<int, QString>>& directionsAndStates);

private:
    QLabel* m_label;
    QToolButton* m_downloadIcon;
    QToolButton* m_uploadIcon;
};
