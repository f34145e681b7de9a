#pragma once

#include "protocol/dtreeelement.h"

#include <QByteArray>
#include <QHash>
#include <QIODevice>
#include <QString>

// Reads the service's answers. Listing and account answers start with a human-readable
// "<detail>" block that makes the file ill-formed XML; the filter splits it from the XML part
// before the listing or the account values are read.
class DAnswerParser
{
public:
    enum DetailMode
    {
        // The opening line is dropped and "</detail>" is not kept.
        ListingDetail,
        // The detail text keeps its opening line and ends with "</detail>".
        AccountDetail
    };

    struct Split
    {
        QString detail;
        QByteArray xml;
    };

    static Split filterDetail(const QByteArray& answer, DetailMode mode);

    // A listing answer read once, with a streaming reader that bounds nesting and entity
    // expansion (a hostile or broken answer fails instead of hanging the program).
    struct Listing
    {
        // False when the answer could not be read; `error` says why.
        bool readable = false;
        QString error;
        // The whole answer was one well-formed document: the service's generic answer, whose
        // `value` must be non-zero for a success and whose `string` is its message.
        bool generic = false;
        int verdict = 0;
        QString message;
        QString detail;
        DTreeElementList entries;
        QString currentFolderId;
    };
    static Listing readListing(const QByteArray& answer);
    // The same, read from a seekable device (the answer file) a piece at a time.
    static Listing readListing(QIODevice& answer);

    // An account answer (login or startup) read the same way: the root's first "param1",
    // "reason1", "param2", "reason2", "max_usp", "popup_url", "svr" and "svp" (present or not)
    // and its "listdata".
    struct Account : Listing
    {
        QHash<QString, QString> values;
    };
    static Account readAccount(const QByteArray& answer);
    static Account readAccount(QIODevice& answer);
    // Deepest element nesting a listing may have.
    static constexpr int MaxDepth = 32;
};
