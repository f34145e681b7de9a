// The local pane: the folder on show, its path box, and the local file operations.

#include "ui/mainwindow.h"

#include "ui/dformat.h"
#include "ui/dragformats.h"
#include "ui/filesystemmodel.h"
#include "ui/textprompt.h"
#include "ui/treeview.h"

#include <QComboBox>
#include <QCompleter>
#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QSet>
#include <QStatusBar>
#include <QUrl>
#include <QVBoxLayout>

namespace {
constexpr int FirstColumnWidth = 200;
} // namespace

QWidget* MainWindow::buildLeftPane(QWidget* parent)
{
    auto* pane = new QWidget(parent);
    auto* column = new QVBoxLayout(pane);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    auto* pathRow = new QHBoxLayout();
    pathRow->setContentsMargins(0, 0, 0, 0);
    pathRow->setSpacing(0);
    m_leftPathBox = new QComboBox(pane);
    m_leftPathBox->setObjectName(QStringLiteral("leftPathBox"));
    m_leftPathBox->setEditable(true);
    // The completer offers folders and drives only.
    auto* folders = new QFileSystemModel(m_leftPathBox);
    folders->setFilter(QDir::AllDirs | QDir::Drives | QDir::NoDotAndDotDot);
    folders->setRootPath(QString());
    m_leftPathBox->setCompleter(new QCompleter(folders, m_leftPathBox));
    m_leftOpenButton = new QPushButton(QIcon(QStringLiteral(":/open")), QString(), pane);
    m_leftOpenButton->setFixedHeight(m_leftPathBox->sizeHint().height());
    pathRow->addWidget(m_leftPathBox, 1);
    pathRow->addWidget(m_leftOpenButton);
    column->addLayout(pathRow);

    m_leftModel = new FileSystemModel(pane);
    m_leftModel->setFilter(QDir::AllEntries | QDir::NoDot | QDir::Drives);
    m_leftTree = new TreeView(pane);
    m_leftTree->setObjectName(QStringLiteral("leftTree"));
    m_leftTree->setModel(m_leftModel);
    m_leftTree->setContextMenuPolicy(Qt::CustomContextMenu);
    m_leftTree->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_leftTree->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_leftTree->setAlternatingRowColors(true);
    m_leftTree->setRootIsDecorated(false);
    m_leftTree->setItemsExpandable(false);
    m_leftTree->setSortingEnabled(true);
    m_leftTree->sortByColumn(0, Qt::AscendingOrder);
    m_leftTree->setColumnWidth(0, FirstColumnWidth);
    column->addWidget(m_leftTree, 1);
    m_leftStatusBar = new QStatusBar(pane);
    m_leftStatusBar->setSizeGripEnabled(false);
    column->addWidget(m_leftStatusBar);

    // The file system's root is the first item; the pane opens at the home folder unless the
    // settings name the folder of the last run.
    const QString root = QStringLiteral("/");
    m_leftTree->setRootIndex(m_leftModel->setRootPath(root));
    m_leftPathBox->addItem(m_leftModel->filePath(m_leftTree->rootIndex()));
    m_leftPathBox->lineEdit()->setText(QDir::homePath());
    return pane;
}

void MainWindow::connectLeftPane()
{
    connect(m_leftPathBox->lineEdit(), &QLineEdit::textChanged, this,
            &MainWindow::onLeftModelChanged);
    connect(m_leftOpenButton, &QPushButton::clicked, this, &MainWindow::onLeftOpenButtonClicked);
    connect(m_leftPathBox, qOverload<int>(&QComboBox::currentIndexChanged), this,
            &MainWindow::onLeftComboBoxIndexChanged);
    connect(m_leftModel, &QFileSystemModel::directoryLoaded, this,
            &MainWindow::updateLeftStatusBarMsg);
    connect(m_leftTree, &QTreeView::activated, this, &MainWindow::onLeftTreeDoubleClick);
    connect(m_leftTree, &QWidget::customContextMenuRequested, this,
            &MainWindow::onLeftTreeContextMenu);
    connect(m_leftTree, &TreeView::di_backSpacePressed, this, &MainWindow::onLocalHome);
    connect(
        m_leftTree, &TreeView::di_startDownload, this,
        qOverload<const QStringList&, const QStringList&, const QStringList&, const QStringList&>(
            &MainWindow::onStartFileDownLoads));
    connect(m_leftTree, &TreeView::di_startFolderDownload, this,
            &MainWindow::onStartFolderDownloads);
    // The line edit was filled before these connections existed: follow it now.
    const bool busy = m_busy;
    m_busy = false;
    onLeftModelChanged(m_leftPathBox->currentText());
    m_busy = busy;
}

QString MainWindow::localFolder() const
{
    return m_leftPathBox->currentText();
}

void MainWindow::goToLocalFolder(const QString& path, bool showInLineEdit)
{
    m_leftTree->setRootIndex(m_leftModel->setRootPath(path));
    if (showInLineEdit)
        m_leftPathBox->lineEdit()->setText(path);
    if (m_leftPathBox->findText(path, Qt::MatchExactly | Qt::MatchCaseSensitive) < 0)
        m_leftPathBox->addItem(path);
}

void MainWindow::onRefresh()
{
    if (remotePaneHasFocus())
        refreshRemotePane();
    else
        refreshLocalPane();
}

void MainWindow::refreshLocalPane()
{
    const QString folder = m_leftPathBox->currentText();
    m_busy = true;
    m_leftModel->setRootPath(QFileInfo(folder).absolutePath());
    m_busy = false;
    onLeftModelChanged(folder);
}

void MainWindow::onLeftTreeDoubleClick(const QModelIndex& index)
{
    if (m_busy)
        return;
    m_busy = true;
    const QFileInfo entry = m_leftModel->fileInfo(index);
    if (entry.isDir())
        goToLocalFolder(QDir::cleanPath(entry.absoluteFilePath()), true);
    else
        openLocalFile(entry.absoluteFilePath());
    m_busy = false;
}

void MainWindow::onLeftModelChanged(const QString& text)
{
    if (m_busy || !QFileInfo(text).isDir())
        return;
    m_busy = true;
    goToLocalFolder(text, false);
    m_busy = false;
}

void MainWindow::onLeftComboBoxIndexChanged(int index)
{
    if (m_busy || index < 0)
        return;
    m_busy = true;
    m_leftTree->setRootIndex(m_leftModel->setRootPath(m_leftPathBox->itemText(index)));
    m_busy = false;
}

void MainWindow::onLeftOpenButtonClicked()
{
    const QString folder =
        QFileDialog::getExistingDirectory(this, tr("Select Folder"), localFolder());
    if (folder.isEmpty())
        return;
    m_leftPathBox->lineEdit()->setText(folder);
    if (m_leftPathBox->findText(folder, Qt::MatchExactly | Qt::MatchCaseSensitive) < 0)
        m_leftPathBox->addItem(folder);
}

void MainWindow::onLocalHome()
{
    if (m_busy)
        return;
    m_busy = true;
    // The parent of the root is the root.
    const QFileInfo parent(QFileInfo(QDir::cleanPath(localFolder())).absolutePath());
    if (parent.isDir())
        goToLocalFolder(QDir::cleanPath(parent.absoluteFilePath()), true);
    m_busy = false;
}

void MainWindow::updateLeftStatusBarMsg()
{
    const QModelIndex root = m_leftTree->rootIndex();
    int folders = 0;
    int files = 0;
    qint64 bytes = 0;
    for (int i = 0; i < m_leftModel->rowCount(root); ++i) {
        const QModelIndex child = m_leftModel->index(i, 0, root);
        const QString name = m_leftModel->fileName(child);
        if (name == QLatin1String(".") || name == QLatin1String(".."))
            continue;
        if (m_leftModel->isDir(child)) {
            ++folders;
        } else {
            ++files;
            bytes += m_leftModel->size(child);
        }
    }
    m_leftStatusBar->showMessage(DFormat::paneCountText(folders, files, bytes));
}

QList<QFileInfo> MainWindow::selectedLocalEntries() const
{
    QList<QFileInfo> entries;
    const QModelIndexList rows = m_leftTree->selectionModel()->selectedRows(0);
    for (const QModelIndex& index : rows)
        entries << m_leftModel->fileInfo(index);
    return entries;
}

void MainWindow::onLeftTreeContextMenu(const QPoint& pos)
{
    QMenu menu(this);
    if (!selectedLocalEntries().isEmpty()) {
        menu.addAction(m_openAction);
        menu.addAction(m_uploadAction);
        menu.addAction(m_localRenameAction);
        menu.addAction(m_localDeleteAction);
    }
    menu.addAction(m_localCreateFolderAction);
    menu.exec(m_leftTree->viewport()->mapToGlobal(pos));
}

void MainWindow::open()
{
    for (const QFileInfo& entry : selectedLocalEntries()) {
        if (!entry.isSymLink() && entry.isReadable())
            openLocalFile(entry.absoluteFilePath());
    }
}

void MainWindow::upload()
{
    QStringList paths;
    QSet<QString> seen;
    for (const QFileInfo& entry : selectedLocalEntries()) {
        if (entry.isSymLink() || !entry.isReadable() || entry.isDir())
            continue;
        const QString path = entry.absoluteFilePath();
        if (!seen.contains(path)) {
            seen.insert(path);
            paths << path;
        }
    }
    if (!paths.isEmpty())
        onFileDroppedRight(paths, QString());
}

void MainWindow::onLocalRename()
{
    const QList<QFileInfo> entries = selectedLocalEntries();
    if (entries.size() != 1)
        return;
    const QString name = askText(this, tr("New Name.."), entries.first().fileName());
    if (name.isNull())
        return;
    QDir(localFolder()).rename(entries.first().fileName(), name);
}

void MainWindow::onLocalDelete()
{
    const QList<QFileInfo> entries = selectedLocalEntries();
    if (entries.isEmpty())
        return;
    if (!askYesCancel(this, tr("Confirm delete.."),
                      tr("Do you really want to delete selectedt files/folders ?")))
        return;
    // Files only: a folder entry is never removed.
    QDir folder(localFolder());
    for (const QFileInfo& entry : entries) {
        if (!entry.isDir())
            folder.remove(entry.fileName());
    }
}

void MainWindow::onLocalCreateFolder()
{
    const QString name = askText(this, tr("Folder Name.."));
    if (name.isEmpty())
        return;
    onLocalCreateFolder(name);
}

void MainWindow::onLocalCreateFolder(const QString& name)
{
    // The name may come from the engine: one plain name inside the folder on show, never a path.
    if (!DragFormats::isPlainFileName(name))
        return;
    const QString folder = QDir::cleanPath(localFolder());
    if (QFileInfo::exists(folder + QDir::separator() + name))
        return;
    QDir(folder).mkdir(name);
}
