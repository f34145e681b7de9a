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
