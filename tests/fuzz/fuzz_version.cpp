// The self-update check's version answer.
#include "support/dupdatecheck.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const DUpdateCheck::VersionAnswer answer =
        DUpdateCheck::parseAnswer(QByteArray(reinterpret_cast<const char*>(data), qsizetype(size)));
    DUpdateCheck::isNewer(answer.version);
    DUpdateCheck::isTrustedDownload(answer.url);
    return 0;
}
