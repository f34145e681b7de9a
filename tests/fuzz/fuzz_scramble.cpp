// Scrambled passwords read back from the settings file.
#include "fuzzinput.h"
#include "support/dscramble.h"

#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The settings file gives a text: everything up to the first NUL byte.
    const CByte plain = Unscramble(CByte(payload(data, size, 0).constData()));
    // Whatever the file holds, a password read back must survive a save and another read.
    const CByte again = Unscramble(Scramble(plain));
    if (plain.GetLength() > 0 &&
        (again.GetLength() != plain.GetLength() ||
         memcmp(again.GetData(), plain.GetData(), size_t(plain.GetLength())) != 0))
        abort();
    return 0;
}
