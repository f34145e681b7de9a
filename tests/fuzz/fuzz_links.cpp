// Pasted text of the download-links dialog: the candidate links and their parts.
#include "fuzzinput.h"
#include "protocol/dlinkcheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    for (const QString& candidate :
         DLinkCheck::candidates(QString::fromUtf8(payload(data, size, 0)))) {
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
