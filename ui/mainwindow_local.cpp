// The local pane: the folder on show, its path box, and the local file operations.

#include "ui/mainwindow.h"

#include "ui/dformat.h"

#include <QComboBox>
#include <QCompleter>
#include <QDir>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLineEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QTreeView>
#include <QVBoxLayout>

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
    auto* folders = new QFileSystemModel(m_leftPathBox);
    folders->setFilter(QDir::AllDirs | QDir::Drives | QDir::NoDotAndDotDot);
    folders->setRootPath(QString());
    m_leftPathBox->setCompleter(new QCompleter(folders, m_leftPathBox));
    m_leftOpenButton = new QPushButton(QIcon(QStringLiteral(":/open")), QString(), pane);
    m_leftOpenButton->setFixedHeight(m_leftPathBox->sizeHint().height());
    pathRow->addWidget(m_leftPathBox, 1);
    pathRow->addWidget(m_leftOpenButton);
    column->addLayout(pathRow);

    m_leftModel = new QFileSystemModel(pane);
    m_leftModel->setFilter(QDir::AllEntries | QDir::NoDot | QDir::Drives);
    m_leftTree = new QTreeView(pane);
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
    m_leftTree->setColumnWidth(0, 200);
    column->addWidget(m_leftTree, 1);
    m_leftStatusBar = new QStatusBar(pane);
    m_leftStatusBar->setSizeGripEnabled(false);
    column->addWidget(m_leftStatusBar);

    // On this platform the local pane starts at the file system's root.
    const QString root = QStringLiteral("/");
    m_leftTree->setRootIndex(m_leftModel->setRootPath(root));
    m_leftPathBox->addItem(m_leftModel->filePath(m_leftTree->rootIndex()));
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
}

void MainWindow::onRefresh()
{
    const QString folder = m_leftPathBox->currentText();
    m_busy = true;
    m_leftModel->setRootPath(QFileInfo(folder).absolutePath());
    m_busy = false;
    onLeftModelChanged(folder);
}

void MainWindow::onLeftTreeDoubleClick(const QModelIndex& index)
{
    if (m_busy || !m_leftModel->isDir(index))
        return;
    m_leftPathBox->lineEdit()->setText(QDir::cleanPath(m_leftModel->filePath(index)));
}

void MainWindow::onLeftModelChanged(const QString& text)
{
    if (m_busy || !QFileInfo(text).isDir())
        return;
    m_busy = true;
    m_leftTree->setRootIndex(m_leftModel->setRootPath(text));
    if (m_leftPathBox->findText(text, Qt::MatchExactly | Qt::MatchCaseSensitive) < 0)
        m_leftPathBox->addItem(text);
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

void MainWindow::onLeftOpenButtonClicked() {}

void MainWindow::onLocalHome() {}

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

void MainWindow::onLeftTreeContextMenu(const QPoint&) {}

void MainWindow::open() {}

void MainWindow::upload() {}

void MainWindow::onLocalRename() {}

void MainWindow::onLocalDelete() {}

void MainWindow::onLocalCreateFolder() {}

void MainWindow::onLocalCreateFolder(const QString&) {}
