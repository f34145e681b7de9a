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

    // --- Drag and drop: payloads in ui/dragformats.h ---------------------------------------
    QStringList mimeTypes() const override;
    QMimeData* mimeData(const QList<QTreeWidgetItem*>& items) const override;
    Qt::DropActions supportedDropActions() const override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    // A drag of this pane's own rows may land only on folder rows or on empty space.
    void dragMoveEvent(QDragMoveEvent* event) override;
    // Only copy drops count: a drop with the move action changes nothing.
    void dropEvent(QDropEvent* event) override;
    bool dropMimeData(QTreeWidgetItem* parent, int index, const QMimeData* data,
                      Qt::DropAction action) override;

private:
    DCommandManager* m_engine = nullptr;
};
