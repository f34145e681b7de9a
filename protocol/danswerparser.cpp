#include "protocol/danswerparser.h"

#include <QDir>
#include <QFile>
#include <QSharedPointer>
#include <QTemporaryFile>
#include <QTextStream>
#include <QXmlStreamReader>

namespace {

const QString DetailOpen = QStringLiteral("<detail>");
const QString DetailClose = QStringLiteral("</detail>");

bool parseFile(QFile& file, QDomDocument& document)
{
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const bool ok = static_cast<bool>(document.setContent(&file, true));
    file.close();
    return ok;
}

QString childText(const QDomElement& element, const QString& name)
{
    const QDomElement child = element.firstChildElement(name);
    return child.isNull() ? QString() : child.text();
}

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

DAnswerParser::Listing DAnswerParser::readListing(const QByteArray& answer)
{
    Listing listing;
    listing.currentFolderId = QStringLiteral("-1");
    // The detail block normally makes a listing ill-formed; a well-formed answer is the
    // service's generic document, and its verdict decides.
    Listing generic;
    listing.generic = readGeneric(answer, generic);
    if (listing.generic) {
        listing.verdict = generic.verdict;
        listing.message = generic.message;
        if (listing.verdict == 0) {
            listing.readable = true;
            return listing;
        }
    }
    const Split split = filterDetail(answer, ListingDetail);
    listing.detail = split.detail;

    QXmlStreamReader reader(split.xml);
    bound(reader);
    int depth = 0;
    bool inListData = false, listDataSeen = false, parentSeen = false, currentSeen = false;
    QString parentId;
    DTreeElementList folders, files;
    while (!reader.atEnd()) {
        const QXmlStreamReader::TokenType token = reader.readNext();
        if (token == QXmlStreamReader::EndElement) {
            if (depth-- == 2)
                inListData = false;
            continue;
        }
        if (token != QXmlStreamReader::StartElement || !enter(reader, depth))
            continue;
        const QStringView name = reader.name();
        if (depth == 2 && !listDataSeen && name == QLatin1String("listdata")) {
            inListData = listDataSeen = true;
            continue;
        }
        if (depth != 3 || !inListData)
            continue;
        if (name == QLatin1String("folder") || name == QLatin1String("file")) {
            const bool isFile = name == QLatin1String("file");
            (isFile ? files : folders).append(readEntry(reader, depth--, isFile));
        } else if (name == QLatin1String("parent_folder_id")) {
            const QString text = elementText(reader, depth--);
            if (!parentSeen)
                parentId = text;
            parentSeen = true;
        } else if (name == QLatin1String("current_folder_id")) {
            const QString text = elementText(reader, depth--);
            if (!currentSeen && !text.isEmpty())
                listing.currentFolderId = text;
            currentSeen = true;
        }
    }
    if (reader.hasError()) {
        listing.error = reader.errorString();
        return listing;
    }
    listing.readable = true;
    if (!parentId.isEmpty()) {
        auto parent = QSharedPointer<DTreeElement>::create();
        parent->name = QStringLiteral("..");
        parent->id = parentId;
        listing.entries.append(parent);
    }
    listing.entries.reserve(listing.entries.size() + folders.size() + files.size());
    listing.entries += folders;
    listing.entries += files;
    return listing;
}

DAnswerParser::Split DAnswerParser::filterDetail(const QByteArray& answer, DetailMode mode)
{
    Split split;
    QString xml;
    QString text = QString::fromUtf8(answer);
    QTextStream lines(&text, QIODevice::ReadOnly);
    bool inside = false;
    QString line;
    while (lines.readLineInto(&line)) {
        // A line with both markers opens a block: the opening test comes first.
        if (line.contains(DetailOpen)) {
            inside = true;
            if (mode == AccountDetail)
                split.detail += line + QLatin1Char('\n');
            continue;
        }
        if (line.contains(DetailClose)) {
            inside = false;
            if (mode == AccountDetail)
                split.detail += DetailClose;
            line.remove(DetailClose);
            if (!line.isEmpty())
                xml += line + QLatin1Char('\n');
            continue;
        }
        if (inside)
            split.detail += line + QLatin1Char('\n');
        else
            xml += line + QLatin1Char('\n');
    }
    split.xml = xml.toUtf8();
    return split;
}

bool DAnswerParser::parseXmlPart(const QByteArray& xml, const QString& path, QDomDocument& document)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    const bool written = file.write(xml) == xml.size();
    file.close();
    const bool ok = written && parseFile(file, document);
    file.remove();
    return ok;
}

bool DAnswerParser::parseXmlPart(const QByteArray& xml, QDomDocument& document)
{
    QTemporaryFile file(QDir::tempPath() + QStringLiteral("/ferrydesk-listing"));
    if (!file.open() || file.write(xml) != xml.size())
        return false;
    file.close();
    return parseFile(file, document);
}

bool DAnswerParser::isXmlFile(const QString& path)
{
    QFile file(path);
    QDomDocument document;
    return parseFile(file, document);
}

DTreeElementList::value_type DAnswerParser::entryFrom(const QDomElement& element, bool isFile)
{
    auto entry = QSharedPointer<DTreeElement>::create();
    entry->name = childText(element, QStringLiteral("name"));
    entry->size = childText(element, QStringLiteral("size"));
    entry->time = childText(element, QStringLiteral("time"));
    entry->link = childText(element, QStringLiteral("link"));
    entry->isFile = isFile ? 1 : 0;
    entry->id = childText(element, QStringLiteral("id"));
    return entry;
}

DTreeElementList DAnswerParser::entries(const QDomElement& listData)
{
    DTreeElementList list;
    if (listData.isNull())
        return list;
    const QString parentId = childText(listData, QStringLiteral("parent_folder_id"));
    if (!parentId.isEmpty()) {
        auto parent = QSharedPointer<DTreeElement>::create();
        parent->name = QStringLiteral("..");
        parent->id = parentId;
        list.append(parent);
    }
    for (QDomElement folder = listData.firstChildElement(QStringLiteral("folder"));
         !folder.isNull(); folder = folder.nextSiblingElement(QStringLiteral("folder")))
        list.append(entryFrom(folder, false));
    for (QDomElement file = listData.firstChildElement(QStringLiteral("file")); !file.isNull();
         file = file.nextSiblingElement(QStringLiteral("file")))
        list.append(entryFrom(file, true));
    return list;
}

QString DAnswerParser::currentFolderId(const QDomElement& listData)
{
    const QString id = childText(listData, QStringLiteral("current_folder_id"));
    return id.isEmpty() ? QStringLiteral("-1") : id;
}
