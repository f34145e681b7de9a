#pragma once

#include "engine/dtypes.h"

#include <QLabel>
#include <QPointer>
#include <QProgressBar>
#include <QToolButton>
#include <QTreeWidgetItem>

#include <memory>

class DCommandManager;
class MainWindow;
class QTreeWidget;
class TreeItemObject;

// Columns shared by the running, error and success lists.
namespace QueueColumn {
enum
{
    StartStop = 0,
    PauseResume = 1,
    Preview = 2,
    File = 3,
    Direction = 4,
    Progress = 5,
    Percent = 6,
    Size = 7,
    Priority = 8,
    State = 9,
    TimeLeft = 10,
    Link = 11,
    Count = 12
};
// Item data in the File column.
constexpr int IdRole = Qt::UserRole + 1;
constexpr int DirectionRole = Qt::UserRole + 2;
// A finished download's local file (success list only).
constexpr int LocalFileRole = Qt::UserRole + 3;
} // namespace QueueColumn

// One transfer in the queue views. In the running list it carries a start/stop, a pause/resume
// and a preview button, a progress bar (0 to 10000) and a link label; moved to the error or
// success list it keeps only its texts and a copy of the link label.
class TreeItemWidget : public QTreeWidgetItem
{
public:
    TreeItemWidget(MainWindow* window, DCommandManager* engine, int commandId = -1);
    ~TreeItemWidget() override;
    TreeItemWidget(const TreeItemWidget&) = delete;
    TreeItemWidget& operator=(const TreeItemWidget&) = delete;

    int commandId() const { return m_commandId; }
    // Gives the row its engine id and shows the engine's current status on the buttons.
    void setCommandId(int commandId);
    // Follows the engine's word on whether the transfer plays (it may come after the row).
    void refreshPreview();
    // The engine's command type for this row (CmdDownload or CmdUpload).
    int direction() const;
    void setDirection(int direction);

    CStatus lastStatus() const { return m_lastStatus; }
    // Shows `status` on the buttons unless it is the status shown already.
    void applyStatus(CStatus status);
    // The clicks, routed by the status on show.
    void startStopClicked();
    void pauseResumeClicked();
    void previewClicked();

    // Puts the row's widgets into its tree: with controls the buttons and the progress bar, and
    // always the link label. The row keeps every value they show, so they can come and go
    // (only rows on screen carry widgets).
    void placeWidgets(bool withControls);
    // Takes the widgets out of the tree again (the tree deletes them).
    void removeWidgets();
    bool hasWidgets() const { return m_placed; }
    void setLinkHtml(const QString& html);
    // The link label's text, empty when the row has none.
    QString linkHtml() const;
    // The progress bar value and text, kept while the row has no bar on show.
    void setProgress(int value, const QString& format);
    int progressValue() const { return m_progress; }

    QToolButton* startStopButton() const { return m_startStop; }
    QToolButton* pauseResumeButton() const { return m_pauseResume; }
    QToolButton* previewButton() const { return m_preview; }
    QProgressBar* progressBar() const { return m_progressBar; }
    QLabel* linkLabel() const { return m_linkLabel; }
    TreeItemObject* object() const { return m_object.get(); }
    MainWindow* window() const { return m_window; }
    DCommandManager* engine() const { return m_engine; }

private:
    QToolButton* makeButton(const QString& icon, void (TreeItemObject::*clicked)());
    QLabel* makeLinkLabel() const;
    void showStatusOnButtons();

    MainWindow* m_window;
    DCommandManager* m_engine;
    int m_commandId;
    CStatus m_lastStatus = StatusUnknown;
    int m_progress = 0;
    QString m_progressFormat;
    QString m_linkHtml;
    bool m_placed = false;
    // The tree owns placed widgets and deletes them when the row leaves it.
    QPointer<QToolButton> m_startStop;
    QPointer<QToolButton> m_pauseResume;
    QPointer<QToolButton> m_preview;
    QPointer<QProgressBar> m_progressBar;
    QPointer<QLabel> m_linkLabel;
    std::unique_ptr<TreeItemObject> m_object;
};
