#pragma once

#include <QHash>
#include <QObject>
#include <QSet>

class QTreeWidget;
class QTimer;
class TreeItemWidget;

// Gives only the queue rows on screen their widgets (buttons, progress bar, link label) and
// takes them away from rows that scroll out of view. A tree view repositions every item widget
// on each layout, so ten thousand rows with five widgets each would stall the window; a screen
// holds a few dozen rows. Placement follows scrolling, resizing and added rows once per pass of
// the event loop.
class RowWidgetPlacer : public QObject
{
    Q_OBJECT
public:
    explicit RowWidgetPlacer(QObject* parent = nullptr);

    // withControls: rows of this list get buttons and a progress bar besides the link label.
    void watch(QTreeWidget* list, bool withControls);
    // Rows were added or the list changed; placement follows soon.
    void listChanged(QTreeWidget* list);
    // The row leaves its list or is deleted: it must not be touched again.
    void forget(TreeItemWidget* row);
    // The list was emptied.
    void forgetAll(QTreeWidget* list);
    // Places the widgets of the visible rows now (tests and benchmarks use it to settle).
    void placeNow();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    struct Watched
    {
        bool withControls = false;
        QSet<TreeItemWidget*> placed;
        bool dirty = true;
    };
    void place(QTreeWidget* list, Watched& state);

    QHash<QTreeWidget*, Watched> m_lists;
    QTimer* m_timer;
};
