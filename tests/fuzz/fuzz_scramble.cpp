// Scrambled passwords read back from the settings file (a text: up to the first NUL byte).
// Whatever the file holds, a password read back must survive a save and another read.
#include "fuzzinput.h"
#include "support/dscramble.h"

#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const CByte plain = Unscramble(CByte(payload(data, size, 0).constData()));
    const CByte again = Unscramble(Scramble(plain));
    if (plain.GetLength() > 0 &&
        (again.GetLength() != plain.GetLength() ||
         memcmp(again.GetData(), plain.GetData(), size_t(plain.GetLength())) != 0))
        abort();
    return 0;
}
