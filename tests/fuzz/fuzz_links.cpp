// Pasted text of the download-links dialog: the candidate links and their parts.
#include "protocol/dlinkcheck.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QString pasted = QString::fromUtf8(reinterpret_cast<const char*>(data), qsizetype(size));
    for (const QString& candidate : DLinkCheck::candidates(pasted)) {
        if (candidate.trimmed().isEmpty())
            abort();
        DLinkCheck::isServiceLink(candidate);
        DLinkCheck::linkId(candidate);
        if (DLinkCheck::isCanonical(candidate)) {
            DLinkCheck::fileName(candidate);
            DLinkCheck::fileId(candidate);
        }
    }
    return 0;
}
