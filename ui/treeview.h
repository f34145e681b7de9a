#pragma once

#include <QStringList>
#include <QTreeView>

// The local pane's view. It takes only drags that carry remote files ("item/copy" together with
// "item/ids", which only the remote pane writes) and hands a drop to the window as four lists
// instead of letting the model move anything.
class TreeView : public QTreeView
{
    Q_OBJECT
public:
    explicit TreeView(QWidget* parent = nullptr);

signals:
    void di_backSpacePressed();
    // Names, ids, size texts and link label texts of the dropped remote files.
    void di_startDownload(const QStringList& names, const QStringList& ids,
                          const QStringList& sizes, const QStringList& links);
    // Names and ids of the dropped remote folders, each to be downloaded whole.
    void di_startFolderDownload(const QStringList& names, const QStringList& ids);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;
};
