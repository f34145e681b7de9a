#include "protocol/danswerparser.h"

#include <QDir>
#include <QFile>
#include <QSharedPointer>
#include <QTemporaryFile>
#include <QTextStream>

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

} // namespace

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
