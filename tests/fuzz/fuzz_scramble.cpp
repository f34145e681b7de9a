// Scrambled passwords read back from the settings file.
#include "support/dscramble.h"

#include <QByteArray>

#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The settings file gives a text: everything up to the first NUL byte.
    const QByteArray stored(reinterpret_cast<const char*>(data), qsizetype(size));
    const CByte plain = Unscramble(CByte(stored.constData()));
    if (plain.GetLength() == 0)
        return 0;
    // Whatever the file holds, a password read back must survive a save and another read.
    const CByte again = Unscramble(Scramble(plain));
    if (again.GetLength() != plain.GetLength() ||
        memcmp(again.GetData(), plain.GetData(), size_t(plain.GetLength())) != 0)
        abort();
    return 0;
}
