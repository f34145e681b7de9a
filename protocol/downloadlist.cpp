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
    const QStringList candidates = DLinkCheck::candidates(m_text->toPlainText());
    QStringList found[3];
    QStringList invalid;

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

    for (int i = 0; i < candidates.size() && !m_check->isCancelled(); ++i) {
        const QString& candidate = candidates.at(i);
        progress.setLabelText(tr("Checking link %1 of %2...").arg(i + 1).arg(candidates.size()));
        progress.setValue(i);
        if (!DLinkCheck::isServiceLink(candidate)) {
            invalid.append(candidate);
            continue;
        }
        const QString answer = checkOneLink(candidate);
        if (m_check->isCancelled())
            break;
        if (!DLinkCheck::isCanonical(answer)) {
            showMessage(QStringLiteral("INVALID LINK2: ") + answer);
            continue;
        }
        found[0].append(DLinkCheck::fileName(answer));
        found[1].append(DLinkCheck::fileId(answer));
        found[2].append(DLinkCheck::displayLink(answer));
    }
    const bool cancelled = m_check->isCancelled() || progress.wasCanceled();
    progress.hide();
    if (cancelled)
        return;
    names += found[0];
    ids += found[1];
    links += found[2];
    if (!invalid.isEmpty())
        showMessage(invalidReport(invalid));
}

QString DownloadList::invalidReport(const QStringList& invalid)
{
    QString text = QStringLiteral("Error, this link not valid:\n");
    const int shown = qMin(invalid.size(), ReportLinkLimit);
    for (int i = 0; i < shown; ++i) {
        QString line = invalid.at(i);
        if (line.size() > ReportLineLimit)
            line = line.left(ReportLineLimit) + QStringLiteral("...");
        text += line + QStringLiteral("\n ");
    }
    if (invalid.size() > shown)
        text += tr("(%1 more)").arg(invalid.size() - shown) + QStringLiteral("\n ");
    return text;
}
