#include "ui/optionsdialog.h"

#include "engine/dcommandmanager.h"
#include "engine/dprompt.h"
#include "ui/mainwindow.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>

#include <cmath>

namespace {

constexpr int MaxPort = 65535;

// Reads a whole non-negative number; an empty field is 0.
bool readCount(const QLineEdit* edit, int& value, int maximum = INT_MAX)
{
    const QString text = edit->text().trimmed();
    if (text.isEmpty()) {
        value = 0;
        return true;
    }
    bool ok = false;
    value = text.toInt(&ok, 10);
    return ok && value >= 0 && value <= maximum;
}

// Reads a non-negative speed in KB/s; an empty field is 0.
bool readSpeed(const QLineEdit* edit, double& value)
{
    const QString text = edit->text().trimmed();
    if (text.isEmpty()) {
        value = 0;
        return true;
    }
    bool ok = false;
    value = text.toDouble(&ok);
    return ok && std::isfinite(value) && value >= 0;
}

void addRow(QGridLayout* grid, int row, const QString& label, QLineEdit* edit,
            const QString& hint = QString())
{
    grid->addWidget(new QLabel(label), row, 0);
    grid->addWidget(edit, row, 1);
    if (!hint.isEmpty())
        grid->addWidget(new QLabel(hint), row, 2);
}

} // namespace

OptionsDialog::OptionsDialog(DCommandManager* engine, MainWindow* window)
    : QDialog(window), m_engine(engine), m_window(window)
{
    setWindowTitle(tr("Preferences..."));
    auto* layout = new QVBoxLayout(this);
    auto* tabs = new QTabWidget;
    tabs->addTab(buildTransfersTab(), tr("Transfers"));
    tabs->addTab(buildGeneralTab(), tr("General"));
    layout->addWidget(tabs);
    auto* buttons = new QDialogButtonBox;
    QPushButton* ok = buttons->addButton(tr("OK"), QDialogButtonBox::AcceptRole);
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &OptionsDialog::accept);
    layout->addWidget(buttons);
    load();
}

QWidget* OptionsDialog::buildTransfersTab()
{
    auto* page = new QWidget;
    auto* layout = new QVBoxLayout(page);

    auto* concurrent = new QGroupBox(tr("Concurrent trasfers"));
    auto* concurrentGrid = new QGridLayout(concurrent);
    m_maxTransfersEdit = new QLineEdit;
    m_maxDownloadsEdit = new QLineEdit;
    m_maxUploadsEdit = new QLineEdit;
    addRow(concurrentGrid, 0, tr("Maximum simultaneous transfers:"), m_maxTransfersEdit,
           tr("(1-10)"));
    addRow(concurrentGrid, 1, tr("Limit for concurrent downloads:"), m_maxDownloadsEdit,
           tr("(0 for no limit)"));
    addRow(concurrentGrid, 2, tr("Limit for concurrent uploads:"), m_maxUploadsEdit,
           tr("(0 for no limit)"));
    layout->addWidget(concurrent);

    m_limitsGroup = new QGroupBox(tr("Speed limits"));
    m_limitsGroup->setCheckable(true);
    auto* limitsGrid = new QGridLayout(m_limitsGroup);
    m_downLimitEdit = new QLineEdit;
    m_upLimitEdit = new QLineEdit;
    addRow(limitsGrid, 0, tr("Download limit:"), m_downLimitEdit, tr("(in KB/s)"));
    addRow(limitsGrid, 1, tr("Upload limit:"), m_upLimitEdit, tr("(in KB/s)"));
    layout->addWidget(m_limitsGroup);

    m_proxyGroup = new QGroupBox(tr("Proxy"));
    m_proxyGroup->setCheckable(true);
    auto* proxyGrid = new QGridLayout(m_proxyGroup);
    m_proxyHostEdit = new QLineEdit;
    m_proxyUserEdit = new QLineEdit;
    m_proxyPasswordEdit = new QLineEdit;
    m_proxyPasswordEdit->setEchoMode(QLineEdit::Password);
    m_proxyPortEdit = new QLineEdit;
    addRow(proxyGrid, 0, tr("Hostname:"), m_proxyHostEdit);
    addRow(proxyGrid, 1, tr("Username:"), m_proxyUserEdit);
    addRow(proxyGrid, 2, tr("Password:"), m_proxyPasswordEdit);
    addRow(proxyGrid, 3, tr("Port:"), m_proxyPortEdit);
    layout->addWidget(m_proxyGroup);

    layout->addStretch();
    return page;
}

QWidget* OptionsDialog::buildGeneralTab()
{
    auto* page = new QWidget;
    auto* layout = new QVBoxLayout(page);
    m_minToTrayBox = new QCheckBox(tr("Minimize to tray"));
    m_powerOffBox = new QCheckBox(tr("Shutdown after tranfers complete"));
    m_osStartBox = new QCheckBox(tr("Start when OS starts"));
    layout->addWidget(m_minToTrayBox);
    layout->addWidget(m_powerOffBox);
    layout->addWidget(m_osStartBox);
    m_startAtOnceBox = new QCheckBox(tr("Start transfers as soon as they are queued"));
    m_startAtOnceBox->setToolTip(tr("Otherwise new transfers wait, paused, until you start "
                                    "them."));
    layout->addWidget(m_startAtOnceBox);
    auto* vlcRow = new QHBoxLayout;
    m_vlcPathEdit = new QLineEdit(m_window ? m_window->vlcPath() : QString());
    vlcRow->addWidget(new QLabel(tr("VLC Path:")));
    vlcRow->addWidget(m_vlcPathEdit);
    layout->addLayout(vlcRow);
    layout->addStretch();
    return page;
}

void OptionsDialog::load()
{
    m_maxTransfersEdit->setText(QString::number(m_engine->maxTransfers(), 10));
    m_maxDownloadsEdit->setText(QString::number(m_engine->maxDownloads(), 10));
    m_maxUploadsEdit->setText(QString::number(m_engine->maxUploads(), 10));
    m_downLimitEdit->setText(QString::number(m_engine->maxDownSpeed(), 'g', 6));
    m_upLimitEdit->setText(QString::number(m_engine->maxUpSpeed(), 'g', 6));
    m_limitsGroup->setChecked(m_engine->limitsEnabled());

    QString host, user, password;
    int port = 0;
    const bool proxyOn = m_engine->proxy(host, user, password, port);
    m_proxyHostEdit->setText(host);
    m_proxyUserEdit->setText(user);
    m_proxyPasswordEdit->setText(password);
    m_proxyPortEdit->setText(QString::number(port, 10));
    m_proxyGroup->setChecked(proxyOn);

    m_minToTrayBox->setChecked(m_engine->minToTray());
    m_powerOffBox->setChecked(m_engine->powerOff());
    m_osStartBox->setChecked(m_engine->osStart());
    m_startAtOnceBox->setChecked(m_engine->startsTransfersAtOnce());
}

void OptionsDialog::execAndApply()
{
    if (exec() == QDialog::Accepted)
        apply();
}

void OptionsDialog::showPowerOff(bool armed)
{
    m_powerOffBox->setChecked(armed);
}

QLineEdit* OptionsDialog::firstInvalidField() const
{
    int count = 0;
    double speed = 0;
    for (QLineEdit* edit : {m_maxTransfersEdit, m_maxDownloadsEdit, m_maxUploadsEdit}) {
        if (!readCount(edit, count))
            return edit;
    }
    for (QLineEdit* edit : {m_downLimitEdit, m_upLimitEdit}) {
        if (!readSpeed(edit, speed))
            return edit;
    }
    if (!readCount(m_proxyPortEdit, count, MaxPort))
        return m_proxyPortEdit;
    return nullptr;
}

void OptionsDialog::accept()
{
    QLineEdit* invalid = firstInvalidField();
    if (!invalid) {
        QDialog::accept();
        return;
    }
    showMessage(
        tr("\"%1\" is not a valid number here; the value was not changed.").arg(invalid->text()));
    invalid->setFocus();
    invalid->selectAll();
}

void OptionsDialog::apply()
{
    int value = 0;
    readCount(m_maxTransfersEdit, value);
    m_engine->setMaxTransfers(value);
    readCount(m_maxDownloadsEdit, value);
    m_engine->setMaxDownloads(value);
    readCount(m_maxUploadsEdit, value);
    m_engine->setMaxUploads(value);

    double speed = 0;
    readSpeed(m_downLimitEdit, speed);
    m_engine->setMaxDownSpeed(speed);
    readSpeed(m_upLimitEdit, speed);
    m_engine->setMaxUpSpeed(speed);

    int port = 0;
    readCount(m_proxyPortEdit, port, MaxPort);
    m_engine->setProxy(m_proxyHostEdit->text(), m_proxyUserEdit->text(),
                       m_proxyPasswordEdit->text(), port);
    m_engine->setProxyEnabled(m_proxyGroup->isChecked());

    m_engine->setMinToTray(m_minToTrayBox->isChecked());
    m_engine->setPowerOffOptions(m_powerOffBox->isChecked());
    m_engine->setLimitsEnabled(m_limitsGroup->isChecked());
    m_engine->setOsStart(m_osStartBox->isChecked());
    m_engine->setStartTransfersAtOnce(m_startAtOnceBox->isChecked());

    // Raised limits start waiting transfers at once.
    m_engine->flush();

    if (m_window && m_vlcPathEdit->text() != m_window->vlcPath())
        m_window->setVlcPath(m_vlcPathEdit->text());
}
