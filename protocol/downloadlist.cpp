#include "protocol/downloadlist.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

DownloadList::DownloadList(QWidget* parent) : QDialog(parent)
{
    setWindowTitle(tr("Download List..."));
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(
        new QLabel(tr("Copy link vao day de download, moi link tren mot dong: "), this));
    m_text = new QPlainTextEdit(this);
    layout->addWidget(m_text, 1);
    auto* row = new QHBoxLayout();
    m_showAfterLogin = new QCheckBox(tr("Show this dialog after login"), this);
    row->addWidget(m_showAfterLogin);
    auto* buttons = new QDialogButtonBox(this);
    connect(buttons->addButton(tr("Download"), QDialogButtonBox::AcceptRole), &QPushButton::clicked,
            this, &QDialog::accept);
    connect(buttons->addButton(tr("Cancel"), QDialogButtonBox::RejectRole), &QPushButton::clicked,
            this, &QDialog::reject);
    row->addWidget(buttons);
    layout->addLayout(row);
}

bool DownloadList::showAfterLogin() const
{
    return m_showAfterLogin->isChecked();
}

void DownloadList::setShowAfterLogin(bool show)
{
    m_showAfterLogin->setChecked(show);
}

void DownloadList::checkLinks(QStringList& names, QStringList& ids, QStringList& links)
{
    names.clear();
    ids.clear();
    links.clear();
}

QString DownloadList::checkOneLink(const QString& link)
{
    return QStringLiteral("Error: not valid id?") + linkId(link);
}

QString DownloadList::linkId(const QString& link)
{
    const QStringList pieces = link.trimmed().split(QStringLiteral("/f/"));
    if (pieces.size() < 2)
        return QString();
    return pieces.at(1).section(QLatin1Char('/'), 0, 0);
}
