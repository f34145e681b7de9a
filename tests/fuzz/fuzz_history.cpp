// The transfer history file, as read at login (a damaged one salvaged line by line).
#include "engine/dhistoryfile.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const DHistoryFile::Contents first =
        DHistoryFile::read(QByteArray(reinterpret_cast<const char*>(data), qsizetype(size)));
    // What was read is saved again as the program saves it (uploads first), and must come back
    // whole: an entry lost here is a transfer lost at the next start.
    DHistoryFile::Snapshot snapshot{QStringLiteral("Transfers"), {}, {}};
    for (const bool uploads : {true, false}) {
        snapshot.groups.append(
            {uploads ? QStringLiteral("Uploads") : QStringLiteral("Downloads"), 0});
        for (const DHistoryFile::Entry& entry : first.entries) {
            if (entry.upload != uploads)
                continue;
            snapshot.entries.append({entry.element, entry.attributes});
            ++snapshot.groups.last().second;
        }
    }
    const DHistoryFile::Contents again = DHistoryFile::read(DHistoryFile::text(snapshot));
    if (again.damaged || again.entries.size() != first.entries.size())
        abort();
    qsizetype next = 0;
    for (const bool uploads : {true, false})
        for (const DHistoryFile::Entry& entry : first.entries)
            if (entry.upload == uploads) {
                const DHistoryFile::Entry& back = again.entries.at(next++);
                if (back.element != entry.element || back.attributes != entry.attributes)
                    abort();
            }
    return 0;
}
