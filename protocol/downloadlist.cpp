#include "protocol/downloadlist.h"

#include "engine/dprompt.h"
#include "protocol/dlinkcheck.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QEventLoop>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressDialog>
#include <QPushButton>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>

namespace {

constexpr int ProgressDelayMs = 400; // quick checks end before a progress dialog shows
constexpr int ReportLineLimit = 200; // characters of one link in the final report
constexpr int ReportLinkLimit = 50;  // links named in the final report

} // namespace

DownloadList::DownloadList(QWidget* parent) : QDialog(parent)
{
    setWindowTitle(tr("Download List..."));
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(tr("Copy link vao day de download, moi link tren mot dong: ")));
    m_text = new QPlainTextEdit;
    m_text->resize(300, 100);
    layout->addWidget(m_text, 1);

    auto* row = new QHBoxLayout;
    m_showAfterLogin = new QCheckBox(tr("Show this dialog after login"));
    row->addWidget(m_showAfterLogin);
    auto* buttons = new QDialogButtonBox;
    buttons->addButton(tr("Download"), QDialogButtonBox::AcceptRole);
    buttons->addButton(tr("Cancel"), QDialogButtonBox::RejectRole);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    row->addWidget(buttons);
    layout->addLayout(row);

    m_worker = new QThread(this);
    m_check = new DLinkCheck;
    m_check->moveToThread(m_worker);
    connect(m_worker, &QThread::finished, m_check, &QObject::deleteLater);
    m_worker->start();
}

DownloadList::~DownloadList()
{
    m_check->cancel();
    m_worker->quit();
    m_worker->wait();
}

bool DownloadList::showAfterLogin() const
{
    return m_showAfterLogin->isChecked();
}

void DownloadList::setShowAfterLogin(bool show)
{
    m_showAfterLogin->setChecked(show);
}

void DownloadList::setEngine(const DCommandManager* engine)
{
    m_check->setEngine(engine);
}

QString DownloadList::linkId(const QString& link)
{
    return DLinkCheck::linkId(link);
}

QString DownloadList::checkOneLink(const QString& link)
{
    if (DLinkCheck::linkId(link).size() < DLinkCheck::MinIdLength)
        return m_check->checkOneLink(link); // answered without the service

    QString answer;
    bool answered = false;
    QEventLoop loop;
    const QMetaObject::Connection done =
        connect(m_check, &DLinkCheck::di_checked, &loop, [&](const QString&, const QString& text) {
            answer = text;
            answered = true;
            loop.quit();
        });
    QMetaObject::invokeMethod(m_check, "check", Qt::QueuedConnection, Q_ARG(QString, link));
    loop.exec();
    disconnect(done);
    if (!answered) {
        // The application is quitting: the nested loop ended without an answer.
        m_check->cancel();
        return tr("Error: link check cancelled");
    }
    return answer;
}

void DownloadList::checkLinks(QStringList& names, QStringList& ids, QStringList& links)
{
    QStringList refused;
    QStringList invalid;
    runChecks(DLinkCheck::candidates(m_text->toPlainText()), names, ids, links, refused, invalid);
    // The progress dialog is gone for good: the report is the only window now.
    if (!refused.isEmpty() || !invalid.isEmpty())
        showMessage(report(refused, invalid));
}

void DownloadList::runChecks(const QStringList& candidates, QStringList& names, QStringList& ids,
                             QStringList& links, QStringList& refused, QStringList& invalid)
{
    QProgressDialog progress(tr("Checking links..."), tr("Cancel"), 0, candidates.size(), this);
    progress.setWindowTitle(windowTitle());
    progress.setWindowModality(Qt::ApplicationModal);
    progress.setMinimumDuration(ProgressDelayMs);
    progress.setAutoClose(false);
    progress.setAutoReset(false);
    // Called here, not on the worker: the worker is busy with the request to be ended.
    connect(&progress, &QProgressDialog::canceled, this, [this] { m_check->cancel(); });
    QTimer::singleShot(ProgressDelayMs, &progress, [&progress] {
        if (!progress.wasCanceled())
            progress.show();
    });
    m_check->reset();

    // Nothing else opens while the progress may show: every verdict waits for the report.
    for (int i = 0; i < candidates.size() && !m_check->isCancelled(); ++i) {
        const QString& candidate = candidates.at(i);
        progress.setLabelText(tr("Checking link %1 of %2...").arg(i + 1).arg(candidates.size()));
        progress.setValue(i);
        if (!DLinkCheck::isServiceLink(candidate)) {
            invalid.append(candidate);
            continue;
        }
        const QString answer = checkOneLink(candidate);
        // A cancelled check has no verdict; the links confirmed so far are kept.
        if (m_check->isCancelled())
            break;
        if (!DLinkCheck::isCanonical(answer)) {
            refused.append(QStringLiteral("INVALID LINK2: ") + answer);
            continue;
        }
        names.append(DLinkCheck::fileName(answer));
        ids.append(DLinkCheck::fileId(answer));
        links.append(DLinkCheck::displayLink(answer));
    }
}

QString DownloadList::report(const QStringList& refused, const QStringList& invalid)
{
    QString text = clipped(refused).join(QLatin1Char('\n'));
    if (invalid.isEmpty())
        return text;
    if (!text.isEmpty())
        text += QLatin1Char('\n');
    text += QStringLiteral("Error, this link not valid:\n");
    for (const QString& line : clipped(invalid))
        text += line + QStringLiteral("\n ");
    return text;
}

QStringList DownloadList::clipped(const QStringList& lines)
{
    QStringList shown;
    for (int i = 0; i < qMin(lines.size(), ReportLinkLimit); ++i) {
        const QString& line = lines.at(i);
        shown << (line.size() > ReportLineLimit ? line.left(ReportLineLimit) + QStringLiteral("...")
                                                : line);
    }
    if (lines.size() > shown.size())
        shown << tr("(%1 more)").arg(lines.size() - shown.size());
    return shown;
}
