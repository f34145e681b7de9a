// The self-update check's version answer, and the downloaded file it may hand to the updater.
#include "fuzzinput.h"
#include "support/dupdatecheck.h"

#include <QTemporaryFile>

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzInput input(data, size);
    const bool program = input.take() & 1;
    const QByteArray bytes = input.rest();
    if (!program) {
        const DUpdateCheck::VersionAnswer answer = DUpdateCheck::parseAnswer(bytes);
        DUpdateCheck::isNewer(answer.version);
        DUpdateCheck::downloadRefusal(answer.url);
        return 0;
    }
    static QTemporaryFile file;
    if (!file.isOpen() && !file.open())
        abort();
    file.resize(0);
    file.seek(0);
    file.write(bytes);
    file.flush();
    DUpdateCheck::isProgramForThisMachine(file.fileName());
    return 0;
}
