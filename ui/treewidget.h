#pragma once

#include <QStringList>
#include <QTreeWidget>

class DCommandManager;

// The remote pane's tree: one row per entry of the remote folder on show. Backspace asks the
// window to go back to the root; drops hand uploads and moves to the window by signals.
class TreeWidget : public QTreeWidget
{
    Q_OBJECT
public:
    explicit TreeWidget(QWidget* parent = nullptr);

    // The engine, kept for drops; given by the window after it has built its widgets.
    void setEngine(DCommandManager* engine) { m_engine = engine; }
    DCommandManager* engine() const { return m_engine; }

signals:
    void di_backSpacePressed();
    void di_startCopy(QStringList paths, QString destinationFolderId);
    void di_startMove(QStringList ids, QString destinationFolderId);

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    DCommandManager* m_engine = nullptr;
};
