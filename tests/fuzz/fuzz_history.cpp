// The transfer history file, as read at login (a damaged one salvaged line by line). What was
// read is saved again as the program saves it (uploads first), and must come back whole: an
// entry lost here is a transfer lost at the next start.
#include "engine/dhistoryfile.h"
#include "fuzzinput.h"

#include <algorithm>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    QList<DHistoryFile::Entry> saved = DHistoryFile::read(payload(data, size, 0)).entries;
    std::stable_partition(saved.begin(), saved.end(),
                          [](const auto& entry) { return entry.upload; });
    DHistoryFile::Snapshot snapshot{"Transfers", {{"Uploads", 0}, {"Downloads", 0}}, {}};
    for (const DHistoryFile::Entry& entry : saved) {
        ++snapshot.groups[entry.upload ? 0 : 1].second;
        snapshot.entries.append({entry.element, entry.attributes});
    }
    const DHistoryFile::Contents again = DHistoryFile::read(DHistoryFile::text(snapshot));
    if (again.damaged || again.entries.size() != saved.size())
        abort();
    for (qsizetype i = 0; i < saved.size(); ++i)
        if (again.entries[i].element != saved[i].element ||
            again.entries[i].attributes != saved[i].attributes)
            abort();
    return 0;
}
