#include "ui/rowwidgetplacer.h"

#include "ui/treeitemwidget.h"

#include <QEvent>
#include <QScrollBar>
#include <QTimer>
#include <QTreeWidget>

namespace {
// Rows above and below the visible ones that get widgets too, so slow scrolling shows no gap.
constexpr int SpareRows = 4;
} // namespace

RowWidgetPlacer::RowWidgetPlacer(QObject* parent) : QObject(parent), m_timer(new QTimer(this))
{
    m_timer->setSingleShot(true);
    m_timer->setInterval(0);
    connect(m_timer, &QTimer::timeout, this, &RowWidgetPlacer::placeNow);
}

void RowWidgetPlacer::watch(QTreeWidget* list, bool withControls)
{
    m_lists[list].withControls = withControls;
    list->viewport()->installEventFilter(this);
    connect(list->verticalScrollBar(), &QScrollBar::valueChanged, this,
            [this, list] { listChanged(list); });
    connect(list, &QObject::destroyed, this, [this, list] { m_lists.remove(list); });
}

void RowWidgetPlacer::listChanged(QTreeWidget* list)
{
    auto it = m_lists.find(list);
    if (it == m_lists.end())
        return;
    it->dirty = true;
    if (!m_timer->isActive())
        m_timer->start();
}

void RowWidgetPlacer::forget(TreeItemWidget* row)
{
    for (auto it = m_lists.begin(); it != m_lists.end(); ++it) {
        if (it->placed.remove(row))
            it->dirty = true;
    }
    row->removeWidgets();
    if (!m_timer->isActive())
        m_timer->start();
}

void RowWidgetPlacer::forgetAll(QTreeWidget* list)
{
    auto it = m_lists.find(list);
    if (it == m_lists.end())
        return;
    for (TreeItemWidget* row : std::as_const(it->placed))
        row->removeWidgets();
    it->placed.clear();
}

bool RowWidgetPlacer::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::Resize || event->type() == QEvent::Show) {
        for (auto it = m_lists.begin(); it != m_lists.end(); ++it) {
            if (it.key()->viewport() == watched)
                listChanged(it.key());
        }
    }
    return QObject::eventFilter(watched, event);
}

void RowWidgetPlacer::placeNow()
{
    m_timer->stop();
    for (auto it = m_lists.begin(); it != m_lists.end(); ++it) {
        if (it->dirty)
            place(it.key(), it.value());
    }
}

void RowWidgetPlacer::place(QTreeWidget* list, Watched& state)
{
    state.dirty = false;
    const int count = list->topLevelItemCount();
    if (count == 0) {
        state.placed.clear();
        return;
    }
    const int height = list->viewport()->height();
    const QModelIndex top = list->indexAt(QPoint(1, 1));
    const QModelIndex bottom = list->indexAt(QPoint(1, height - 1));
    int first = top.isValid() ? top.row() : 0;
    int last = bottom.isValid() ? bottom.row() : count - 1;
    if (!top.isValid() && !bottom.isValid()) {
        // Nothing laid out yet (a hidden list): place the first screenful.
        const int rowHeight = std::max(1, list->fontMetrics().height());
        last = std::min(count - 1, std::max(height, 400) / rowHeight);
    }
    first = std::max(0, first - SpareRows);
    last = std::min(count - 1, last + SpareRows);

    QSet<TreeItemWidget*> visible;
    visible.reserve(last - first + 1);
    for (int i = first; i <= last; ++i)
        visible.insert(static_cast<TreeItemWidget*>(list->topLevelItem(i)));
    for (TreeItemWidget* row : std::as_const(state.placed)) {
        if (!visible.contains(row))
            row->removeWidgets();
    }
    for (TreeItemWidget* row : std::as_const(visible))
        row->placeWidgets(state.withControls);
    state.placed = visible;
}
