// The self-update check's version answer, and the downloaded file it may hand to the updater.
#include "fuzzinput.h"
#include "support/dupdatecheck.h"

#include <QTemporaryFile>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes = payload(data, size, 1);
    if (!(control(data, size, 0) & 1)) {
        const DUpdateCheck::VersionAnswer answer = DUpdateCheck::parseAnswer(bytes);
        DUpdateCheck::isNewer(answer.version);
        DUpdateCheck::downloadRefusal(answer.url);
        return 0;
    }
    static QTemporaryFile file;
    if ((!file.isOpen() && !file.open()) || !file.resize(0) || !file.seek(0) ||
        file.write(bytes) != bytes.size() || !file.flush())
        abort();
    DUpdateCheck::isProgramForThisMachine(file.fileName());
    return 0;
}
