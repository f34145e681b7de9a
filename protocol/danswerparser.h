#pragma once

#include "protocol/dtreeelement.h"

#include <QByteArray>
#include <QDomDocument>
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
    // Deepest element nesting a listing may have.
    static constexpr int MaxDepth = 32;

    // Writes the XML part to `path`, parses it back with namespace processing and removes the
    // file again, whether or not it parsed.
    static bool parseXmlPart(const QByteArray& xml, const QString& path, QDomDocument& document);
    // The same with an automatically named file in the system's temporary folder.
    static bool parseXmlPart(const QByteArray& xml, QDomDocument& document);

    // True when the whole file is well-formed XML.
    static bool isXmlFile(const QString& path);

    // Parent entry "..", then every folder, then every file, each group in document order.
    static DTreeElementList entries(const QDomElement& listData);
    // The listed folder's id; "-1" (the root) when the answer names none.
    static QString currentFolderId(const QDomElement& listData);

private:
    static DTreeElementList::value_type entryFrom(const QDomElement& element, bool isFile);
};
