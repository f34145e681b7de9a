// The remote pane: showing a listing, opening folders, the path box and the remote file
// operations (rename, delete, create, move, copy links, download).

#include "ui/mainwindow.h"

#include "engine/dcommandmanager.h"
#include "ui/dformat.h"
#include "ui/linklabeldelegate.h"
#include "ui/textprompt.h"
#include "ui/treeitemwidget.h"
#include "ui/treewidget.h"
#include "ui/treewidgetitem.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMimeDatabase>
#include <QPushButton>
#include <QStatusBar>
#include <QVBoxLayout>

namespace {

QString lastPathComponent(const QString& path)
{
    if (path == QLatin1String("/"))
        return path;
    return path.section(QLatin1Char('/'), -1);
}

} // namespace

// --- Showing a listing --------------------------------------------------------------------

bool MainWindow::remotePaneHasFocus() const
{
    const QWidget* focus = QApplication::focusWidget();
    return focus && m_rightPane && m_rightPane->isAncestorOf(focus);
}

// The folder on show is listed again; its new entries come as every listing does.
void MainWindow::refreshRemotePane()
{
    if (m_loginAction->text() != tr("&Logout"))
        return;
    m_engine->listFolder(m_engine->currentFolderId(), m_engine->currentFolderName());
}

void MainWindow::fillHttpTree(const DTreeElementList& entries)
{
    m_remoteFileIndex.clear();
    m_rightTree->setSortingEnabled(false);
    m_rightTree->clear();

    static const QMimeDatabase mimeDatabase;
    const QLocale locale;
    int folders = 0;
    int files = 0;
    qint64 totalBytes = 0;
    QList<QTreeWidgetItem*> rows;
    rows.reserve(entries.size());
    for (const auto& element : entries) {
        auto* row = new TreeWidgetItem();
        row->setText(TreeWidgetItem::NameColumn, element->name);
        row->setText(TreeWidgetItem::DateColumn, element->time);
        row->setData(TreeWidgetItem::NameColumn, TreeWidgetItem::IdRole, element->id);
        addLinkLabel(row, element->link);
        if (element->isFile == 1) {
            const qint64 bytes = element->size.toLongLong();
            const QString sizeText = DFormat::sizeText(bytes, locale);
            row->setData(TreeWidgetItem::NameColumn, TreeWidgetItem::FolderRole, false);
            row->setText(TreeWidgetItem::SizeColumn, sizeText);
            row->setData(TreeWidgetItem::SizeColumn, TreeWidgetItem::BytesRole, bytes);
            const int dot = element->name.lastIndexOf(QLatin1Char('.'));
            const QString suffix = dot < 0 ? QString() : element->name.mid(dot + 1).toLower();
            auto icon = m_iconBySuffix.constFind(suffix);
            if (icon == m_iconBySuffix.constEnd()) {
                const QMimeType type =
                    mimeDatabase.mimeTypeForFile(element->name, QMimeDatabase::MatchExtension);
                icon = m_iconBySuffix.insert(
                    suffix, QIcon::fromTheme(type.iconName(),
                                             QIcon::fromTheme(type.genericIconName(), m_fileIcon)));
            }
            row->setIcon(TreeWidgetItem::NameColumn, *icon);
            m_remoteFileIndex.append({element->name, sizeText});
            ++files;
            totalBytes += bytes;
        } else {
            row->setData(TreeWidgetItem::NameColumn, TreeWidgetItem::FolderRole, true);
            row->setIcon(TreeWidgetItem::NameColumn, m_folderIcon);
            if (!element->name.isEmpty() && element->name != QLatin1String(".") &&
                element->name != QLatin1String(".."))
                ++folders;
        }
        rows.append(row);
    }
    m_rightTree->addTopLevelItems(rows);
    if (m_uploadFinished)
        giveFinishedUploadsTheirLinks(entries);

    m_rightTree->setSortingEnabled(true);
    for (int column = 0; column < m_rightTree->columnCount(); ++column)
        m_rightTree->resizeColumnToContents(column);
    m_rightStatusBar->showMessage(DFormat::paneCountText(folders, files, totalBytes));
}

void MainWindow::onListingFailed(const QString& folderId, const QString& message)
{
    Q_UNUSED(folderId)
    const QBrush stale = palette().brush(QPalette::Disabled, QPalette::Text);
    for (int i = 0; i < m_rightTree->topLevelItemCount(); ++i) {
        QTreeWidgetItem* row = m_rightTree->topLevelItem(i);
        for (int column = 0; column < m_rightTree->columnCount(); ++column)
            row->setForeground(column, stale);
    }
    m_rightStatusBar->showMessage(tr("Not up to date: %1").arg(message));
}

void MainWindow::addLinkLabel(QTreeWidgetItem* item, const QString& link)
{
    item->setText(TreeWidgetItem::LinkColumn, QString());
    const QUrl url(link);
    item->setData(TreeWidgetItem::LinkColumn, LinkLabelDelegate::HtmlRole,
                  DFormat::linkLabelHtml(url));
    item->setData(TreeWidgetItem::LinkColumn, LinkLabelDelegate::DirectLinkRole, url.toString());
}

// After an upload has finished, its row in the success list receives the download link of the
// uploaded file once a listing shows a file of the same name and size. The flag stays set
// while finished uploads are still waiting for their link.
void MainWindow::giveFinishedUploadsTheirLinks(const DTreeElementList& entries)
{
    QHash<QString, QString> linkByNameAndSize;
    for (const auto& element : entries)
        if (element->isFile == 1)
            linkByNameAndSize.insert(element->name + QLatin1Char('\n') +
                                         DFormat::sizeText(element->size.toLongLong()),
                                     element->link);
    bool waiting = false;
    for (int i = 0; i < m_successList->topLevelItemCount(); ++i) {
        auto* row = static_cast<TreeItemWidget*>(m_successList->topLevelItem(i));
        if (row->direction() != CmdUpload || !row->linkHtml().isEmpty())
            continue;
        const QString key = QFileInfo(row->text(QueueColumn::File)).fileName() + QLatin1Char('\n') +
                            row->text(QueueColumn::Size);
        const auto link = linkByNameAndSize.constFind(key);
        if (link == linkByNameAndSize.constEnd()) {
            waiting = true;
            continue;
        }
        row->setLinkHtml(DFormat::linkLabelHtml(*link));
    }
    m_uploadFinished = waiting;
}

// --- Folders and the path box -------------------------------------------------------------

void MainWindow::setRightPath(const QString& path, const QString& folderId)
{
    const bool wasBusy = m_busy;
    m_busy = true;
    // The current item follows the folder on show, so that choosing any other item of the
    // box is a change of index and lists that folder.
    int index = m_rightPathBox->findText(path, Qt::MatchExactly | Qt::MatchCaseSensitive);
    if (index < 0) {
        m_rightPathBox->addItem(path, folderId);
        index = m_rightPathBox->count() - 1;
    }
    m_rightPathBox->setCurrentIndex(index);
    m_rightPathBox->lineEdit()->setText(path);
    m_busy = wasBusy;
}

void MainWindow::onRightTreeDoubleClick(QTreeWidgetItem* item, int column)
{
    if (column != TreeWidgetItem::NameColumn || m_busy || !item)
        return;
    const auto* row = static_cast<TreeWidgetItem*>(item);
    if (!row->isFolder())
        return;
    m_busy = true;
    QString path = m_rightPathBox->currentText();
    if (!path.endsWith(QLatin1Char('/')))
        path += QLatin1Char('/');
    path = QDir::cleanPath(path + row->text(TreeWidgetItem::NameColumn));
    setRightPath(path, row->entryId());
    m_engine->listFolder(row->entryId(), row->text(TreeWidgetItem::NameColumn));
    m_busy = false;
}

void MainWindow::onRightComboBoxIndexChanged(int index)
{
    if (m_busy || index < 0)
        return;
    m_engine->listFolder(m_rightPathBox->itemData(index).toString(),
                         lastPathComponent(m_rightPathBox->itemText(index)));
}

void MainWindow::onServerHome()
{
    m_engine->listFolder(QString(), QStringLiteral("/"));
    setRightPath(QStringLiteral("/"), QString());
}

// --- Context menu and the operations ------------------------------------------------------

QList<QTreeWidgetItem*> MainWindow::selectedRightRows() const
{
    // Cells are selected one by one; each row counts once, in selection order.
    QList<QTreeWidgetItem*> rows;
    for (QTreeWidgetItem* item : m_rightTree->selectedItems())
        if (!rows.contains(item))
            rows.append(item);
    return rows;
}

void MainWindow::onRightTreeContextMenu(const QPoint& pos)
{
    QMenu menu(this);
    if (!m_rightTree->selectedItems().isEmpty()) {
        menu.addAction(m_copyLinkAction);
        menu.addAction(m_downloadAction);
        menu.addAction(m_renameAction);
        menu.addAction(m_moveAction);
        menu.addAction(m_deleteAction);
    }
    menu.addAction(m_createFolderAction);
    menu.exec(m_rightTree->viewport()->mapToGlobal(pos));
}

void MainWindow::download()
{
    QStringList names;
    QStringList ids;
    QStringList sizes;
    QStringList links;
    QStringList folderNames;
    QStringList folderIds;
    for (QTreeWidgetItem* item : selectedRightRows()) {
        const auto* row = static_cast<TreeWidgetItem*>(item);
        if (row->isFolder()) {
            folderNames.append(row->text(TreeWidgetItem::NameColumn));
            folderIds.append(row->entryId());
            continue;
        }
        names.append(row->text(TreeWidgetItem::NameColumn));
        ids.append(row->entryId());
        sizes.append(row->transferSizeText());
        links.append(row->linkHtml());
    }
    // One refusal for the whole selection, now, rather than one per file from later slices.
    if ((!names.isEmpty() || !folderNames.isEmpty()) && refusedWithoutDownloads())
        return;
    if (!names.isEmpty())
        onStartFileDownLoads(names, ids, sizes, links);
    if (!folderNames.isEmpty())
        onStartFolderDownloads(folderNames, folderIds);
}

void MainWindow::onCopyDownLoadLink()
{
    QStringList links;
    for (QTreeWidgetItem* item : selectedRightRows())
        links.append(static_cast<TreeWidgetItem*>(item)->directLink());
    QApplication::clipboard()->setText(links.join(QLatin1Char('\n')));
}

void MainWindow::onRename()
{
    const QList<QTreeWidgetItem*> rows = selectedRightRows();
    if (rows.size() != 1)
        return;
    // Read before the dialog: a listing that lands while it is open replaces every row.
    const auto* row = static_cast<TreeWidgetItem*>(rows.first());
    const QString id = row->entryId();
    const QString name = askText(this, tr("New Name.."), row->text(TreeWidgetItem::NameColumn));
    if (!name.isNull())
        m_engine->renameEntry(id, name);
}

void MainWindow::onDelete()
{
    // Read before the question: a listing that lands while it is open replaces every row.
    QStringList ids;
    for (QTreeWidgetItem* row : selectedRightRows())
        ids.append(static_cast<TreeWidgetItem*>(row)->entryId());
    if (ids.isEmpty())
        return;
    if (!askYesCancel(this, tr("Confirm delete.."),
                      tr("Do you really want to delete selectedt files/folders ?")))
        return;
    for (const QString& id : std::as_const(ids))
        m_engine->deleteEntry(id);
}

void MainWindow::onCreateFolder()
{
    const QString name = askText(this, tr("Folder Name.."), QString());
    if (!name.isNull())
        m_engine->createFolder(name);
}

// --- Moving through the folder chooser ----------------------------------------------------

namespace {

constexpr int ChooserIdRole = Qt::UserRole;
// The list keeps the id of the folder it shows: OK with no entry selected moves there.
const char* const ShownFolderProperty = "shownFolderId";

using ChooserFolders = QList<QPair<QString, QString>>; // name, folder id

bool isParentEntry(const QString& name)
{
    return name == QLatin1String("..");
}

bool isRealFolderName(const QString& name)
{
    return !name.isEmpty() && name != QLatin1String(".") && !isParentEntry(name);
}

// The folders of the chooser, ".." first when the listing named the parent folder.
void fillChooser(QListWidget* list, const QString& parentId, const ChooserFolders& folders,
                 const QIcon& icon)
{
    list->clear();
    const auto add = [&](const QString& name, const QString& id) {
        auto* entry = new QListWidgetItem(icon, name, list);
        entry->setData(ChooserIdRole, id);
    };
    if (!parentId.isEmpty())
        add(QStringLiteral(".."), parentId);
    for (const auto& folder : folders)
        add(folder.first, folder.second);
}

} // namespace

void MainWindow::onMoveFile()
{
    QDialog dialog(this);
    dialog.setWindowTitle(tr("Select destination folder..."));
    auto* layout = new QVBoxLayout(&dialog);
    auto* list = new QListWidget(&dialog);
    auto* pathEdit = new QLineEdit(m_rightPathBox->currentText(), &dialog);
    pathEdit->setReadOnly(true);
    pathEdit->setObjectName(QStringLiteral("chooserPath"));
    layout->addWidget(list);
    layout->addWidget(pathEdit);
    auto* buttons = new QDialogButtonBox(&dialog);
    connect(buttons->addButton(tr("OK"), QDialogButtonBox::AcceptRole), &QPushButton::clicked,
            &dialog, &QDialog::accept);
    connect(buttons->addButton(tr("Cancel"), QDialogButtonBox::RejectRole), &QPushButton::clicked,
            &dialog, &QDialog::reject);
    layout->addWidget(buttons);

    // Everything is read from the rows before the dialog runs: a listing that lands while it is
    // open replaces them. The listing's own ".." row carries the parent folder's id.
    const QList<QTreeWidgetItem*> selected = selectedRightRows();
    QStringList ids;
    for (QTreeWidgetItem* item : selected)
        ids.append(static_cast<TreeWidgetItem*>(item)->entryId());
    QString parentId;
    ChooserFolders folders;
    for (int i = 0; i < m_rightTree->topLevelItemCount(); ++i) {
        auto* row = static_cast<TreeWidgetItem*>(m_rightTree->topLevelItem(i));
        const QString name = row->text(TreeWidgetItem::NameColumn);
        if (isParentEntry(name))
            parentId = row->entryId();
        else if (row->isFolder() && !selected.contains(row) && isRealFolderName(name))
            folders.append({name, row->entryId()});
    }
    if (pathEdit->text() == QLatin1String("/"))
        parentId.clear();
    fillChooser(list, parentId, folders, m_folderIcon);
    const QString sourceFolderId = m_engine->currentFolderId();
    list->setProperty(ShownFolderProperty, sourceFolderId);
    connect(list, &QListWidget::doubleClicked, this, &MainWindow::onListWidgetDoubleClick);
    dialog.resize(360, 400);
    if (dialog.exec() != QDialog::Accepted)
        return;
    const QListWidgetItem* chosen = list->currentItem();
    const QString destination = chosen && chosen->isSelected()
                                    ? chosen->data(ChooserIdRole).toString()
                                    : list->property(ShownFolderProperty).toString();
    // OK before choosing anything leaves the entries where they are.
    if (!destination.isEmpty() && destination != sourceFolderId)
        onFileMove(ids, destination);
}

void MainWindow::onListWidgetDoubleClick(const QModelIndex& index)
{
    auto* list = qobject_cast<QListWidget*>(sender());
    if (!list || !index.isValid())
        return;
    auto* pathEdit = list->parentWidget()->findChild<QLineEdit*>(QStringLiteral("chooserPath"));
    const QString name = index.data().toString();
    const QString folderId = index.data(ChooserIdRole).toString();
    QString path = pathEdit->text();
    if (isParentEntry(name)) {
        path = path.left(path.lastIndexOf(QLatin1Char('/')));
        if (path.isEmpty())
            path = QStringLiteral("/");
    } else {
        if (!path.endsWith(QLatin1Char('/')))
            path += QLatin1Char('/');
        path += name;
    }
    pathEdit->setText(path);
    list->setProperty(ShownFolderProperty, folderId);
    QString parentId;
    ChooserFolders folders;
    for (const auto& element : m_engine->listFolderNow(folderId)) {
        if (isParentEntry(element->name))
            parentId = element->id;
        else if (element->isFile != 1 && isRealFolderName(element->name))
            folders.append({element->name, element->id});
    }
    if (path == QLatin1String("/"))
        parentId.clear();
    fillChooser(list, parentId, folders, m_folderIcon);
}

void MainWindow::onFileMove(const QStringList& ids, const QString& destinationFolderId)
{
    for (const QString& id : ids)
        m_engine->moveEntry(destinationFolderId, id);
}
