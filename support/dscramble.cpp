#include "support/dscramble.h"

#include <memory>

namespace {

constexpr long KeyLength = 2;

} // namespace

CByte Scramble(const CByte& plain)
{
    if (plain.GetLength() == 0)
        return CByte();
    const CByte key = RandomText(KeyLength);
    CByte mixed(plain);
    XorWith(mixed, key);
    CByte keyAndText(key);
    keyAndText.Append(mixed);
    const std::unique_ptr<char[]> hex(keyAndText.ToHex());
    return CByte(hex.get());
}

CByte Unscramble(const CByte& scrambledText)
{
    if (scrambledText.GetLength() == 0)
        return CByte();
    const std::unique_ptr<char[]> text(scrambledText.ToString());
    CByte bytes;
    bytes.FromHex(text.get());
    if (bytes.GetLength() < KeyLength)
        return CByte();
    CByte key;
    key.SetSize(KeyLength);
    key.SetBytes(bytes.GetData());
    CByte plain;
    plain.SetSize(bytes.GetLength() - KeyLength);
    plain.SetBytes(bytes.GetData() + KeyLength);
    XorWith(plain, key);
    return plain;
}
