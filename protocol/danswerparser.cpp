#include "protocol/danswerparser.h"

#include <QBuffer>
#include <QSharedPointer>
#include <QXmlStreamReader>

#include <algorithm>
#include <cstring>
#include <functional>

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
            // Most elements hold one piece of text: it is taken at its exact size.
            if (text.isEmpty())
                text = reader.text().toString();
            else
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
bool readGeneric(QIODevice& answer, DAnswerParser::Listing& listing)
{
    answer.seek(0);
    QXmlStreamReader reader(&answer);
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

// --- The detail filter ----------------------------------------------------------------------
// It works on the answer as the worker stored it, a line at a time and a bounded piece of a line
// at a time: a large listing is neither held whole nor copied. What it finds is where the XML
// part lies in the answer; the reader then reads the answer through those pieces.

// `length` bytes of the answer from `offset`, or a line end the filter adds (offset -1).
struct Piece
{
    qint64 offset = 0;
    qint64 length = 0;
};

struct Layout
{
    QByteArray detail;
    QList<Piece> pieces;
};

// One line of the answer: [start, end) without its line end (nor a carriage return before it).
struct Line
{
    qint64 start = 0;
    qint64 end = 0;
    bool newline = false;
    bool opens = false;
    // Where each closing marker starts.
    QList<qint64> closes;
};

constexpr qint64 ScanBytes = 64 * 1024;

const QByteArray& openMarker()
{
    static const QByteArray marker = DetailOpen.toLatin1();
    return marker;
}

const QByteArray& closeMarker()
{
    static const QByteArray marker = DetailClose.toLatin1();
    return marker;
}

// Follows the line being read across the pieces of the answer, keeping only the few bytes a
// marker may straddle.
class LineScanner
{
public:
    void begin(qint64 start)
    {
        m_line = Line();
        m_line.start = start;
        m_tail.clear();
        m_last = 0;
    }

    // The line goes on with `size` bytes that stand at `offset` in the answer.
    void feed(const char* bytes, qint64 size, qint64 offset)
    {
        if (size <= 0)
            return;
        const QByteArray& open = openMarker();
        const QByteArray& close = closeMarker();
        // The tail of the previous piece goes in front; a marker can not lie wholly inside it
        // (it is shorter than a marker), so none is counted twice.
        const qint64 windowStart = offset - m_tail.size();
        m_tail.append(bytes, size);
        m_line.opens = m_line.opens || m_tail.contains(open);
        for (qsizetype at = m_tail.indexOf(close); at >= 0;
             at = m_tail.indexOf(close, at + close.size()))
            m_line.closes.append(windowStart + at);
        m_tail = m_tail.right(std::max(open.size(), close.size()) - 1);
        m_last = bytes[size - 1];
        m_line.end = offset + size;
    }

    const Line& end(bool newline)
    {
        if (m_line.end < m_line.start)
            m_line.end = m_line.start;
        if (m_last == '\r' && m_line.end > m_line.start)
            --m_line.end;
        m_line.newline = newline;
        return m_line;
    }

private:
    Line m_line;
    QByteArray m_tail;
    char m_last = 0;
};

QByteArray bytesOf(QIODevice& answer, const Line& line)
{
    const qint64 resume = answer.pos();
    answer.seek(line.start);
    // A device may hand out fewer bytes than asked for (a socket, a pipe): read until the line
    // is whole or the device ends.
    QByteArray bytes;
    for (qint64 left = line.end - line.start; left > 0;) {
        const QByteArray piece = answer.read(left);
        if (piece.isEmpty())
            break;
        bytes += piece;
        left -= piece.size();
    }
    answer.seek(resume);
    return bytes;
}

void addPiece(QList<Piece>& pieces, qint64 offset, qint64 length)
{
    if (length <= 0)
        return;
    if (offset >= 0 && !pieces.isEmpty() && pieces.last().offset >= 0 &&
        pieces.last().offset + pieces.last().length == offset) {
        pieces.last().length += length;
        return;
    }
    pieces.append({offset, length});
}

// Every kept line ends with "\n", whatever ended it in the answer.
void addLineEnd(QList<Piece>& pieces, const Line& line, qint64 next)
{
    if (line.newline)
        addPiece(pieces, next - 1, 1);
    else
        addPiece(pieces, -1, 1);
}

// Splits the detail block from the XML part, line by line. A line with the opening marker
// opens a block (the opening test comes first); a line with the closing marker ends it, and
// what is left of that line without its markers belongs to the XML.
Layout layoutOf(QIODevice& answer, DAnswerParser::DetailMode mode)
{
    const QByteArray& close = closeMarker();
    Layout layout;
    bool inside = false;
    const auto take = [&](const Line& line, qint64 next) {
        if (line.opens) {
            inside = true;
            if (mode == DAnswerParser::AccountDetail)
                layout.detail += bytesOf(answer, line) + '\n';
        } else if (!line.closes.isEmpty()) {
            inside = false;
            if (mode == DAnswerParser::AccountDetail)
                layout.detail += close;
            qint64 from = line.start;
            qint64 kept = 0;
            for (const qint64 at : line.closes) {
                addPiece(layout.pieces, from, at - from);
                kept += at - from;
                from = at + close.size();
            }
            addPiece(layout.pieces, from, line.end - from);
            kept += line.end - from;
            if (kept > 0)
                addLineEnd(layout.pieces, line, next);
        } else if (inside) {
            layout.detail += bytesOf(answer, line) + '\n';
        } else {
            addPiece(layout.pieces, line.start, line.end - line.start);
            addLineEnd(layout.pieces, line, next);
        }
    };
    answer.seek(0);
    LineScanner scanner;
    scanner.begin(0);
    qint64 lineStart = 0;
    qint64 offset = 0;
    QByteArray chunk(ScanBytes, Qt::Uninitialized);
    for (qint64 n; (n = answer.read(chunk.data(), ScanBytes)) > 0; offset += n) {
        for (qint64 from = 0; from < n;) {
            const auto* newline =
                static_cast<const char*>(std::memchr(chunk.constData() + from, '\n', n - from));
            const qint64 to = newline ? newline - chunk.constData() : n;
            scanner.feed(chunk.constData() + from, to - from, offset + from);
            from = to;
            if (!newline)
                break;
            ++from;
            take(scanner.end(true), offset + from);
            lineStart = offset + from;
            scanner.begin(lineStart);
        }
    }
    // A last line without a line end.
    if (lineStart < offset)
        take(scanner.end(false), offset);
    return layout;
}

// The XML part of an answer, read through the pieces the filter found.
class PieceReader : public QIODevice
{
public:
    PieceReader(QIODevice& answer, QList<Piece> pieces)
        : m_answer(answer), m_pieces(std::move(pieces))
    {
        open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    }
    bool isSequential() const override { return true; }
    bool atEnd() const override { return m_index >= m_pieces.size(); }

protected:
    qint64 readData(char* data, qint64 maxSize) override
    {
        qint64 done = 0;
        while (done < maxSize && m_index < m_pieces.size()) {
            const Piece& piece = m_pieces.at(m_index);
            qint64 n = std::min(maxSize - done, piece.length - m_within);
            if (piece.offset < 0) {
                std::fill_n(data + done, n, '\n');
            } else {
                const qint64 from = piece.offset + m_within;
                if (m_answer.pos() != from && !m_answer.seek(from))
                    break;
                n = m_answer.read(data + done, n);
                if (n <= 0)
                    break;
            }
            done += n;
            m_within += n;
            if (m_within == piece.length) {
                ++m_index;
                m_within = 0;
            }
        }
        return done;
    }
    qint64 writeData(const char*, qint64) override { return -1; }

private:
    QIODevice& m_answer;
    const QList<Piece> m_pieces;
    qsizetype m_index = 0;
    qint64 m_within = 0;
};

// The generic check of the whole answer, then the detail filter. False when the caller is
// done: a well-formed answer that refuses.
bool readAnswerHead(QIODevice& answer, DAnswerParser::DetailMode mode,
                    DAnswerParser::Listing& listing, QList<Piece>& xml)
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
    Layout layout = layoutOf(answer, mode);
    listing.detail = QString::fromUtf8(layout.detail);
    xml = std::move(layout.pieces);
    return true;
}

// Reads the XML part of a listing or account answer: each element below the root goes to
// `element`, which may read it to its end (lowering `depth` again when it does).
void readBody(QIODevice& answer, DAnswerParser::DetailMode mode, DAnswerParser::Listing& listing,
              const std::function<void(QXmlStreamReader&, int&)>& element)
{
    QList<Piece> pieces;
    if (!readAnswerHead(answer, mode, listing, pieces))
        return;
    PieceReader xml(answer, std::move(pieces));
    QXmlStreamReader reader(&xml);
    bound(reader);
    int depth = 0;
    while (!reader.atEnd()) {
        const QXmlStreamReader::TokenType token = reader.readNext();
        if (token == QXmlStreamReader::EndElement)
            --depth;
        if (token == QXmlStreamReader::StartElement && enter(reader, depth) && depth == 2)
            element(reader, depth);
    }
    listing.readable = !reader.hasError();
    listing.error = reader.errorString();
}

// Reads an answer held in memory the same way as one in a file.
template <typename Read> auto readBytes(const QByteArray& answer, Read read)
{
    QBuffer buffer;
    buffer.setData(answer);
    buffer.open(QIODevice::ReadOnly);
    return read(buffer);
}

} // namespace

DAnswerParser::Listing DAnswerParser::readListing(const QByteArray& answer)
{
    return readBytes(answer, [](QIODevice& device) { return readListing(device); });
}

DAnswerParser::Listing DAnswerParser::readListing(QIODevice& answer)
{
    Listing listing;
    bool listDataSeen = false;
    readBody(answer, ListingDetail, listing, [&](QXmlStreamReader& reader, int& depth) {
        if (listDataSeen || reader.name() != QLatin1String("listdata"))
            return;
        listDataSeen = true;
        readListData(reader, depth--, listing);
    });
    if (!listing.readable)
        listing.entries.clear();
    return listing;
}

DAnswerParser::Account DAnswerParser::readAccount(const QByteArray& answer)
{
    return readBytes(answer, [](QIODevice& device) { return readAccount(device); });
}

DAnswerParser::Account DAnswerParser::readAccount(QIODevice& answer)
{
    static const QStringList known{QStringLiteral("param1"),  QStringLiteral("reason1"),
                                   QStringLiteral("param2"),  QStringLiteral("reason2"),
                                   QStringLiteral("max_usp"), QStringLiteral("popup_url"),
                                   QStringLiteral("svr"),     QStringLiteral("svp")};
    Account account;
    bool listDataSeen = false;
    readBody(answer, AccountDetail, account, [&](QXmlStreamReader& reader, int& depth) {
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
    });
    return account;
}

DAnswerParser::Split DAnswerParser::filterDetail(const QByteArray& answer, DetailMode mode)
{
    return readBytes(answer, [mode](QIODevice& device) {
        Layout layout = layoutOf(device, mode);
        PieceReader xml(device, std::move(layout.pieces));
        return Split{QString::fromUtf8(layout.detail), xml.readAll()};
    });
}
