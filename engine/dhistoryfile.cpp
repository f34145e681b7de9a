#include "engine/dhistoryfile.h"

#include <QXmlStreamReader>

#include <algorithm>

namespace DHistoryFile {

namespace {

// Our files nest three levels deep; anything far deeper is not a history.
constexpr int MaxHistoryDepth = 16;
constexpr int MaxEntityExpansion = 1024;

const QString UploadsGroup = QStringLiteral("Uploads");
const QString DownloadsGroup = QStringLiteral("Downloads");

// Appends the value as an attribute's text; most values need no escaping and go in whole.
void appendEscaped(QString& out, const QString& value)
{
    const auto special = [](QChar c) {
        const char16_t u = c.unicode();
        return u == '&' || u == '<' || u == '>' || u == '"' || u == '\n' || u == '\r' || u == '\t';
    };
    if (std::none_of(value.begin(), value.end(), special)) {
        out += value;
        return;
    }
    for (const QChar c : value) {
        switch (c.unicode()) {
        case '&':
            out += QLatin1String("&amp;");
            break;
        case '<':
            out += QLatin1String("&lt;");
            break;
        case '>':
            out += QLatin1String("&gt;");
            break;
        case '"':
            out += QLatin1String("&quot;");
            break;
        case '\n':
            out += QLatin1String("&#xa;");
            break;
        case '\r':
            out += QLatin1String("&#xd;");
            break;
        case '\t':
            out += QLatin1String("&#x9;");
            break;
        default:
            out += c;
        }
    }
}

void appendEntryLine(QString& out, const QString& element, const Attributes& attributes)
{
    out += QLatin1String("        <");
    out += element;
    for (const auto& attribute : attributes) {
        out += QLatin1Char(' ');
        out += attribute.first;
        out += QLatin1String("=\"");
        appendEscaped(out, attribute.second);
        out += QLatin1Char('"');
    }
    out += QLatin1String("/>\n");
}

// The whole file around its entries; `appendEntries(out, count)` writes the next `count` entry
// lines. A history without entries is the bare declaration.
template <typename AppendEntries>
QByteArray framed(const QString& root, const QList<QPair<QString, int>>& groups, bool empty,
                  qsizetype entryChars, AppendEntries appendEntries)
{
    QString out = QStringLiteral("<!DOCTYPE transfers>\n");
    if (empty)
        return out.toUtf8();
    out.reserve(out.size() + entryChars + 64 * (groups.size() + 1));
    out += QLatin1Char('<');
    out += root;
    out += QLatin1String(">\n");
    for (const auto& [group, count] : groups) {
        out += QLatin1String("    <");
        out += group;
        out += QLatin1String(">\n");
        appendEntries(out, count);
        out += QLatin1String("    </");
        out += group;
        out += QLatin1String(">\n");
    }
    out += QLatin1String("</");
    out += root;
    out += QLatin1String(">\n");
    return out.toUtf8();
}

Attributes attributesOf(const QXmlStreamReader& reader)
{
    Attributes attributes;
    for (const QXmlStreamAttribute& attribute : reader.attributes())
        attributes.append({attribute.qualifiedName().toString(), attribute.value().toString()});
    return attributes;
}

void boundReader(QXmlStreamReader& reader)
{
    reader.setEntityExpansionLimit(MaxEntityExpansion);
}

// Reads the whole file as the writer writes it. False when it is not well-formed; `entries`
// then holds what came before the fault. `sawElement` tells an empty file from a damaged one.
bool readWellFormed(const QByteArray& bytes, QList<Entry>& entries, bool& sawElement)
{
    QXmlStreamReader reader(bytes);
    boundReader(reader);
    int depth = 0;
    int group = -1; // 1 uploads, 0 downloads, -1 anything else
    sawElement = false;
    while (!reader.atEnd()) {
        switch (reader.readNext()) {
        case QXmlStreamReader::DTD:
            if (!reader.entityDeclarations().isEmpty())
                reader.raiseError(QStringLiteral("entity declarations are not allowed"));
            break;
        case QXmlStreamReader::StartElement:
            sawElement = true;
            if (++depth > MaxHistoryDepth) {
                reader.raiseError(QStringLiteral("nested too deep"));
                break;
            }
            if (depth == 2)
                group = reader.name() == UploadsGroup     ? 1
                        : reader.name() == DownloadsGroup ? 0
                                                          : -1;
            else if (depth == 3 && group >= 0)
                entries.append({group == 1, reader.name().toString(), attributesOf(reader)});
            break;
        case QXmlStreamReader::EndElement:
            --depth;
            break;
        default:
            break;
        }
    }
    return !reader.hasError();
}

// The writer puts every entry on a line of its own: a damaged file still gives back every
// entry line that reads as an element by itself.
QList<Entry> salvageLines(const QByteArray& bytes)
{
    QList<Entry> entries;
    int group = -1;
    for (const QByteArray& rawLine : bytes.split('\n')) {
        const QByteArray line = rawLine.trimmed();
        if (line.startsWith("<Uploads")) {
            group = 1;
            continue;
        }
        if (line.startsWith("<Downloads")) {
            group = 0;
            continue;
        }
        if (group < 0 || !line.startsWith('<') || !line.endsWith("/>"))
            continue;
        QXmlStreamReader reader(line);
        boundReader(reader);
        while (!reader.atEnd() && reader.readNext() != QXmlStreamReader::StartElement) {
        }
        if (reader.hasError() || !reader.isStartElement())
            continue;
        Entry entry{group == 1, reader.name().toString(), attributesOf(reader)};
        while (!reader.atEnd())
            reader.readNext();
        if (!reader.hasError())
            entries.append(entry);
    }
    return entries;
}

} // namespace

QString attributeOf(const Attributes& attributes, const QString& name)
{
    for (const auto& attribute : attributes) {
        if (attribute.first == name)
            return attribute.second;
    }
    return QString();
}

QString entryLine(const QString& element, const Attributes& attributes)
{
    QString line;
    appendEntryLine(line, element, attributes);
    return line;
}

QByteArray text(const Snapshot& snapshot)
{
    qsizetype next = 0;
    // About what one entry takes, so the text grows once or twice, not at every entry.
    const qsizetype size = snapshot.entries.size() * 160;
    return framed(snapshot.root, snapshot.groups, snapshot.entries.isEmpty(), size,
                  [&](QString& out, int count) {
                      for (const qsizetype end = next + count; next < end; ++next) {
                          const auto& [element, attributes] = snapshot.entries.at(next);
                          appendEntryLine(out, element, attributes);
                      }
                  });
}

QByteArray text(const QString& root, const QList<QPair<QString, QList<QString>>>& groups)
{
    QList<QPair<QString, int>> counts;
    qsizetype entries = 0;
    qsizetype size = 0;
    for (const auto& [group, lines] : groups) {
        counts.append({group, int(lines.size())});
        entries += lines.size();
        for (const QString& line : lines)
            size += line.size();
    }
    auto group = groups.cbegin();
    return framed(root, counts, entries == 0, size, [&](QString& out, int) {
        for (const QString& line : (group++)->second)
            out += line;
    });
}

Contents read(const QByteArray& bytes)
{
    Contents contents;
    bool sawElement = false;
    const bool wellFormed = readWellFormed(bytes, contents.entries, sawElement);
    contents.damaged = !wellFormed && sawElement;
    if (contents.damaged) {
        QList<Entry> salvaged = salvageLines(bytes);
        if (salvaged.size() > contents.entries.size())
            contents.entries = std::move(salvaged);
    }
    return contents;
}

} // namespace DHistoryFile
