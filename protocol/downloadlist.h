#pragma once

#include <QDialog>
#include <QStringList>

class QCheckBox;
class QPlainTextEdit;

// The dialog that takes pasted file links of the service, one or more per line.
class DownloadList : public QDialog
{
    Q_OBJECT
public:
    explicit DownloadList(QWidget* parent = nullptr);

    bool showAfterLogin() const;
    void setShowAfterLogin(bool show);

    // Checks every pasted link with the service; fills three lists of equal length.
    void checkLinks(QStringList& names, QStringList& ids, QStringList& links);
    // The canonical link of one pasted link, or an error text.
    QString checkOneLink(const QString& link);
    // The id part of a link; empty when the link has none.
    static QString linkId(const QString& link);

private:
    QPlainTextEdit* m_text;
    QCheckBox* m_showAfterLogin;
};
