#include "ui/textprompt.h"

#include <QDialog>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

QString askText(QWidget* parent, const QString& title, const QString& initial)
{
    QDialog dialog(parent);
    dialog.setWindowTitle(title);
    auto* layout = new QVBoxLayout(&dialog);
    auto* edit = new QLineEdit(initial, &dialog);
    layout->addWidget(edit);
    auto* row = new QHBoxLayout;
    auto* ok = new QPushButton(QObject::tr("OK"), &dialog);
    auto* cancel = new QPushButton(QObject::tr("Cancel"), &dialog);
    ok->setDefault(true);
    QObject::connect(ok, &QPushButton::clicked, &dialog, &QDialog::accept);
    QObject::connect(cancel, &QPushButton::clicked, &dialog, &QDialog::reject);
    row->addWidget(ok);
    row->addStretch();
    row->addWidget(cancel);
    layout->addLayout(row);
    dialog.resize(320, dialog.sizeHint().height());
    if (dialog.exec() != QDialog::Accepted)
        return QString();
    return edit->text().isNull() ? QStringLiteral("") : edit->text();
}

bool askYesCancel(QWidget* parent, const QString& title, const QString& text)
{
    QMessageBox box(QMessageBox::Question, title, text, QMessageBox::NoButton, parent);
    QPushButton* yes = box.addButton(QObject::tr("Yes"), QMessageBox::YesRole);
    box.addButton(QObject::tr("Cancel"), QMessageBox::RejectRole);
    box.exec();
    return box.clickedButton() == yes;
}
