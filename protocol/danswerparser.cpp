#include "protocol/danswerparser.h"

#include <QSharedPointer>
#include <QXmlStreamReader>

namespace {

const QString DetailOpen = QStringLiteral("<detail>");
const QString DetailClose = QStringLiteral("</detail>");

constexpr int MaxEntityExpansion = 1024;

void bound(QXmlStreamReader& reader)
{
    reader.setEntityExpansionLimit(MaxEntityExpansion);
}

// Opens one more level below `depth`; false (and the reader in error) past the limit.
bool enter(QXmlStreamReader& reader, int& depth)
{
    if (++depth <= DAnswerParser::MaxDepth)
        return true;
    reader.raiseError(QStringLiteral("elements nested too deep"));
    return false;
}

// The reader stands on a start element at `depth`: reads to its end, collecting every piece of
// text inside it (as a DOM element's text()).
QString elementText(QXmlStreamReader& reader, int depth)
{
    QString text;
    int level = depth;
    while (!reader.atEnd()) {
        switch (reader.readNext()) {
        case QXmlStreamReader::StartElement:
            if (!enter(reader, level))
                return text;
            break;
        case QXmlStreamReader::EndElement:
            if (level-- == depth)
                return text;
            break;
        case QXmlStreamReader::Characters:
            text += reader.text();
            break;
        default:
            break;
        }
    }
    return text;
}

// A "folder" or "file" element: the first name, size, time, link and id below it.
DTreeElementList::value_type readEntry(QXmlStreamReader& reader, int depth, bool isFile)
{
    auto entry = QSharedPointer<DTreeElement>::create();
    entry->isFile = isFile ? 1 : 0;
    bool seen[5] = {};
    int level = depth;
    while (!reader.atEnd()) {
        const QXmlStreamReader::TokenType token = reader.readNext();
        if (token == QXmlStreamReader::EndElement && level-- == depth)
            break;
        if (token != QXmlStreamReader::StartElement || !enter(reader, level))
            continue;
        const QStringView name = reader.name();
        QString* field = nullptr;
        int which = -1;
        if (name == QLatin1String("name"))
            field = &entry->name, which = 0;
        else if (name == QLatin1String("size"))
            field = &entry->size, which = 1;
        else if (name == QLatin1String("time"))
            field = &entry->time, which = 2;
        else if (name == QLatin1String("link"))
            field = &entry->link, which = 3;
        else if (name == QLatin1String("id"))
            field = &entry->id, which = 4;
        if (level != depth + 1 || !field)
            continue;
        const QString text = elementText(reader, level--);
        if (!seen[which]) {
            *field = text;
            seen[which] = true;
        }
    }
    return entry;
}

// The whole answer as one document: well-formed or not, and the generic verdict when it is.
bool readGeneric(const QByteArray& answer, DAnswerParser::Listing& listing)
{
    QXmlStreamReader reader(answer);
    bound(reader);
    int depth = 0;
    bool valueSeen = false, stringSeen = false;
    while (!reader.atEnd()) {
        const QXmlStreamReader::TokenType token = reader.readNext();
        if (token == QXmlStreamReader::EndElement)
            --depth;
        if (token != QXmlStreamReader::StartElement || !enter(reader, depth) || depth != 2)
            continue;
        if (reader.name() == QLatin1String("value") && !valueSeen) {
            valueSeen = true;
            listing.verdict = elementText(reader, depth--).trimmed().toInt(nullptr, 10);
        } else if (reader.name() == QLatin1String("string") && !stringSeen) {
            stringSeen = true;
            listing.message = elementText(reader, depth--);
        }
    }
    return !reader.hasError();
}

} // namespace

namespace {

// The reader stands on a "listdata" start element at `depth`: reads it to its end into the
// entries (parent entry, folders, files) and the current folder id.
void readListData(QXmlStreamReader& reader, int depth, DAnswerParser::Listing& listing)
{
    bool parentSeen = false, currentSeen = false;
    QString parentId;
    DTreeElementList folders, files;
    int level = depth;
    while (!reader.atEnd()) {
        const QXmlStreamReader::TokenType token = reader.readNext();
        if (token == QXmlStreamReader::EndElement && level-- == depth)
            break;
        if (token != QXmlStreamReader::StartElement || !enter(reader, level) || level != depth + 1)
            continue;
        const QStringView name = reader.name();
        if (name == QLatin1String("folder") || name == QLatin1String("file")) {
            const bool isFile = name == QLatin1String("file");
            (isFile ? files : folders).append(readEntry(reader, level--, isFile));
        } else if (name == QLatin1String("parent_folder_id")) {
            const QString text = elementText(reader, level--);
            if (!parentSeen)
                parentId = text;
            parentSeen = true;
        } else if (name == QLatin1String("current_folder_id")) {
            const QString text = elementText(reader, level--);
            if (!currentSeen && !text.isEmpty())
                listing.currentFolderId = text;
            currentSeen = true;
        }
    }
    if (!parentId.isEmpty()) {
        auto parent = QSharedPointer<DTreeElement>::create();
        parent->name = QStringLiteral("..");
        parent->id = parentId;
        listing.entries.append(parent);
    }
    listing.entries.reserve(listing.entries.size() + folders.size() + files.size());
    listing.entries += folders;
    listing.entries += files;
}

// The generic check of the whole answer, then the detail filter. False when the caller is
// done: a well-formed answer that refuses.
bool readAnswerHead(const QByteArray& answer, DAnswerParser::DetailMode mode,
                    DAnswerParser::Listing& listing, QByteArray& xml)
{
    listing.currentFolderId = QStringLiteral("-1");
    // The detail block normally makes the answer ill-formed; a well-formed answer is the
    // service's generic document, and its verdict decides.
    listing.generic = readGeneric(answer, listing);
    if (!listing.generic) {
        listing.verdict = 0;
        listing.message = QString();
    }
    if (listing.generic && listing.verdict == 0) {
        listing.readable = true;
        return false;
    }
    DAnswerParser::Split split = DAnswerParser::filterDetail(answer, mode);
    listing.detail = split.detail;
    xml = std::move(split.xml);
    return true;
}

} // namespace

DAnswerParser::Listing DAnswerParser::readListing(const QByteArray& answer)
{
    Listing listing;
    QByteArray xml;
    if (!readAnswerHead(answer, ListingDetail, listing, xml))
        return listing;
    QXmlStreamReader reader(xml);
    bound(reader);
    int depth = 0;
    bool listDataSeen = false;
    while (!reader.atEnd()) {
        const QXmlStreamReader::TokenType token = reader.readNext();
        if (token == QXmlStreamReader::EndElement)
            --depth;
        if (token != QXmlStreamReader::StartElement || !enter(reader, depth))
            continue;
        if (depth == 2 && !listDataSeen && reader.name() == QLatin1String("listdata")) {
            listDataSeen = true;
            readListData(reader, depth--, listing);
        }
    }
    listing.readable = !reader.hasError();
    listing.error = reader.errorString();
    if (!listing.readable)
        listing.entries.clear();
    return listing;
}

DAnswerParser::Account DAnswerParser::readAccount(const QByteArray& answer)
{
    Account account;
    QByteArray xml;
    if (!readAnswerHead(answer, AccountDetail, account, xml))
        return account;
    static const QStringList known{QStringLiteral("param1"),  QStringLiteral("reason1"),
                                   QStringLiteral("param2"),  QStringLiteral("reason2"),
                                   QStringLiteral("max_usp"), QStringLiteral("popup_url"),
                                   QStringLiteral("svr"),     QStringLiteral("svp")};
    QXmlStreamReader reader(xml);
    bound(reader);
    int depth = 0;
    bool listDataSeen = false;
    while (!reader.atEnd()) {
        const QXmlStreamReader::TokenType token = reader.readNext();
        if (token == QXmlStreamReader::EndElement)
            --depth;
        if (token != QXmlStreamReader::StartElement || !enter(reader, depth) || depth != 2)
            continue;
        const QString name = reader.name().toString();
        if (name == QLatin1String("listdata")) {
            if (!listDataSeen)
                readListData(reader, depth--, account);
            listDataSeen = true;
        } else if (known.contains(name)) {
            const QString text = elementText(reader, depth--);
            if (!account.values.contains(name))
                account.values.insert(name, text);
        }
    }
    account.readable = !reader.hasError();
    account.error = reader.errorString();
    return account;
}

DAnswerParser::Split DAnswerParser::filterDetail(const QByteArray& answer, DetailMode mode)
{
    // Works on the bytes: the markers are ASCII, and a large listing is never copied into
    // text and back.
    static const QByteArray open = DetailOpen.toLatin1();
    static const QByteArray close = DetailClose.toLatin1();
    Split split;
    QByteArray detail;
    split.xml.reserve(answer.size());
    bool inside = false;
    for (qsizetype from = 0; from < answer.size();) {
        qsizetype end = answer.indexOf('\n', from);
        const qsizetype next = end < 0 ? answer.size() : end + 1;
        if (end < 0)
            end = answer.size();
        if (end > from && answer.at(end - 1) == '\r')
            --end;
        QByteArray line = answer.mid(from, end - from);
        from = next;
        // A line with both markers opens a block: the opening test comes first.
        if (line.contains(open)) {
            inside = true;
            if (mode == AccountDetail)
                detail += line + '\n';
            continue;
        }
        if (line.contains(close)) {
            inside = false;
            if (mode == AccountDetail)
                detail += close;
            line.replace(close, QByteArray());
            if (!line.isEmpty())
                split.xml += line + '\n';
            continue;
        }
        if (inside)
            detail += line + '\n';
        else
            split.xml += line + '\n';
    }
    split.detail = QString::fromUtf8(detail);
    return split;
}
