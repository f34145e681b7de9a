#include "ui/dwidgetprompt.h"

#include <QApplication>
#include <QButtonGroup>
#include <QDesktopServices>
#include <QDialog>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTextBrowser>
#include <QTimer>
#include <QVBoxLayout>

#include <cstdio>

namespace {

// How often a message waiting for the open dialogs to close looks again.
constexpr int TellRetryMs = 250;

// The bottom of both questions: a stretch, then one right-aligned "OK" that accepts. The
// question is wide enough for a window manager to show its whole title.
void addStretchAndOkButton(QDialog& dialog, QVBoxLayout* layout)
{
    dialog.setMinimumWidth(dialog.fontMetrics().horizontalAdvance(dialog.windowTitle()) * 3 / 2 +
                           120);
    layout->addStretch();
    auto* buttons = new QDialogButtonBox(&dialog);
    QPushButton* ok = buttons->addButton(QObject::tr("OK"), QDialogButtonBox::AcceptRole);
    QObject::connect(ok, &QPushButton::clicked, &dialog, &QDialog::accept);
    layout->addWidget(buttons, 0, Qt::AlignRight);
}

} // namespace

DWidgetPrompt::DWidgetPrompt(QWidget* parent) : m_parent(parent) {}

bool DWidgetPrompt::nonInteractive(const QString& what, const QString& text) const
{
    if (qEnvironmentVariable("FERRYDESK_NONINTERACTIVE") != QLatin1String("1"))
        return false;
    std::fprintf(stderr, "PROMPT %s: %s\n", qPrintable(what), qPrintable(text));
    std::fflush(stderr);
    return true;
}

void DWidgetPrompt::showMessage(const QString& text)
{
    if (nonInteractive(QStringLiteral("message"), text))
        return;
    QMessageBox box(m_parent);
    box.setText(text);
    box.exec();
}

void DWidgetPrompt::tellLater(const QString& text)
{
    if (!m_toTell.contains(text))
        m_toTell.append(text);
    scheduleTelling(0);
}

void DWidgetPrompt::scheduleTelling(int delayMs)
{
    if (m_tellingScheduled)
        return;
    m_tellingScheduled = true;
    QTimer::singleShot(delayMs, &m_timerContext, [this] {
        m_tellingScheduled = false;
        tellNext();
    });
}

void DWidgetPrompt::tellNext()
{
    if (m_toTell.isEmpty())
        return;
    if (m_telling || QApplication::activeModalWidget()) {
        scheduleTelling(TellRetryMs);
        return;
    }
    m_telling = true;
    showMessage(m_toTell.takeFirst());
    m_telling = false;
    scheduleTelling(0);
}

void DWidgetPrompt::showWarning(const QString& title, const QString& text)
{
    if (nonInteractive(title, text))
        return;
    QMessageBox box(QMessageBox::Warning, title, text, QMessageBox::NoButton, m_parent);
    box.addButton(QObject::tr("OK"), QMessageBox::AcceptRole);
    box.exec();
}

void DWidgetPrompt::showAbout(const QString& title, const QString& text)
{
    if (nonInteractive(title, text))
        return;
    QMessageBox::about(nullptr, title, text);
}

DPrompt::ConflictChoice DWidgetPrompt::askTargetExists(const QString& targetPath)
{
    if (nonInteractive(QStringLiteral("Target already exists"), targetPath))
        return ConflictCancelled;
    QDialog dialog(m_parent);
    dialog.setWindowTitle(QObject::tr("Target already exists"));
    auto* layout = new QVBoxLayout(&dialog);
    auto* choices = new QHBoxLayout();
    auto* rename = new QRadioButton(QObject::tr("Rename"), &dialog);
    auto* overwrite = new QRadioButton(QObject::tr("Overwrite"), &dialog);
    auto* group = new QButtonGroup(&dialog);
    group->setExclusive(true);
    group->addButton(rename);
    group->addButton(overwrite);
    rename->setChecked(true);
    choices->addWidget(rename);
    choices->addWidget(overwrite);
    layout->addLayout(choices);
    addStretchAndOkButton(dialog, layout);
    if (dialog.exec() != QDialog::Accepted)
        return ConflictCancelled;
    return overwrite->isChecked() ? ConflictOverwrite : ConflictRename;
}

bool DWidgetPrompt::askNewName(QString& name)
{
    if (nonInteractive(QStringLiteral("Enter new name"), name))
        return false;
    QDialog dialog(m_parent);
    dialog.setWindowTitle(QObject::tr("Enter new name"));
    auto* layout = new QVBoxLayout(&dialog);
    auto* edit = new QLineEdit(name, &dialog);
    layout->addWidget(edit);
    addStretchAndOkButton(dialog, layout);
    if (dialog.exec() != QDialog::Accepted)
        return false;
    name = edit->text();
    return true;
}

void DWidgetPrompt::openPage(const QUrl& url)
{
    if (nonInteractive(QStringLiteral("page"), url.toString()))
        return;
    auto* page = new QTextBrowser();
    page->setAttribute(Qt::WA_DeleteOnClose);
    page->setOpenExternalLinks(true);
    page->resize(640, 480);
    page->setSource(url);
    page->show();
}

bool DWidgetPrompt::askYesCancel(const QString& title, const QString& text)
{
    if (nonInteractive(title, text))
        return false;
    QMessageBox box(QMessageBox::Question, title, text, QMessageBox::NoButton, m_parent);
    QPushButton* yes = box.addButton(QObject::tr("Yes"), QMessageBox::AcceptRole);
    box.addButton(QObject::tr("Cancel"), QMessageBox::RejectRole);
    box.exec();
    return box.clickedButton() == yes;
}

bool DWidgetPrompt::askInstallVlc(const QString& text, const QString& linkHtml)
{
    if (nonInteractive(QStringLiteral("Install VLC"), text))
        return false;
    QDialog dialog(m_parent);
    dialog.setWindowTitle(QObject::tr("Install VLC"));
    auto* layout = new QVBoxLayout(&dialog);
    layout->addWidget(new QLabel(text, &dialog));
    auto* link = new QLabel(linkHtml, &dialog);
    link->setTextInteractionFlags(Qt::TextBrowserInteraction);
    QObject::connect(link, &QLabel::linkActivated, &dialog,
                     [](const QString& address) { QDesktopServices::openUrl(QUrl(address)); });
    layout->addWidget(link);
    layout->addStretch();
    auto* buttons = new QDialogButtonBox(&dialog);
    QPushButton* ok = buttons->addButton(QObject::tr("OK"), QDialogButtonBox::AcceptRole);
    QPushButton* cancel = buttons->addButton(QObject::tr("Cancel"), QDialogButtonBox::RejectRole);
    QObject::connect(ok, &QPushButton::clicked, &dialog, &QDialog::accept);
    QObject::connect(cancel, &QPushButton::clicked, &dialog, &QDialog::reject);
    layout->addWidget(buttons);
    return dialog.exec() == QDialog::Accepted;
}
