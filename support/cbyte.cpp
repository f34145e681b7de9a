#include "support/cbyte.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>

namespace {

const char RandomAlphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
constexpr long RandomAlphabetSize = sizeof(RandomAlphabet) - 1;

bool isTrimByte(unsigned char b)
{
    return b == ' ' || b == '\r' || b == '\n';
}

// Value of one hexadecimal digit; other characters count as 0 (scrambled texts never hold any).
unsigned char hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return static_cast<unsigned char>(c - '0');
    if (c >= 'a' && c <= 'f')
        return static_cast<unsigned char>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F')
        return static_cast<unsigned char>(c - 'A' + 10);
    return 0;
}

char* newTextCopy(const unsigned char* bytes, long n)
{
    char* text = new char[n + 1];
    if (n > 0)
        std::memcpy(text, bytes, static_cast<size_t>(n));
    text[n] = '\0';
    return text;
}

} // namespace

CByte::CByte(const char* text)
{
    Assign(text);
}

CByte::CByte(const CByte& other)
{
    appendBytes(other.m_data, other.m_length);
}

CByte::~CByte()
{
    delete[] m_data;
}

CByte& CByte::operator=(CByte other)
{
    std::swap(m_length, other.m_length);
    std::swap(m_data, other.m_data);
    return *this;
}

// The only place that allocates: a fresh block of the new size, the common prefix copied over,
// new bytes zeroed, the old block freed. An empty buffer holds no block.
void CByte::resize(long newLength)
{
    unsigned char* block = newLength > 0 ? new unsigned char[newLength]() : nullptr;
    const long kept = std::min(m_length, newLength);
    if (kept > 0)
        std::memcpy(block, m_data, static_cast<size_t>(kept));
    delete[] m_data;
    m_data = block;
    m_length = newLength;
}

// The source may lie inside this buffer, so it is copied before the old block is freed.
void CByte::appendBytes(const unsigned char* bytes, long n)
{
    if (n <= 0 || !bytes)
        return;
    unsigned char* block = new unsigned char[m_length + n];
    if (m_length > 0)
        std::memcpy(block, m_data, static_cast<size_t>(m_length));
    std::memcpy(block + m_length, bytes, static_cast<size_t>(n));
    delete[] m_data;
    m_data = block;
    m_length += n;
}

// Keeps the count bytes starting at first and drops the rest.
void CByte::keepRange(long first, long count)
{
    if (first == 0 && count == m_length)
        return;
    if (first > 0 && count > 0)
        std::memmove(m_data, m_data + first, static_cast<size_t>(count));
    resize(count);
}

void CByte::removeIf(bool (*matches)(unsigned char, unsigned char), unsigned char c)
{
    long kept = 0;
    for (long i = 0; i < m_length; ++i) {
        if (!matches(m_data[i], c))
            m_data[kept++] = m_data[i];
    }
    keepRange(0, kept);
}

void CByte::checkIndex(long i) const
{
    if (i >= 0 && i < m_length)
        return;
    char text[96];
    std::snprintf(text, sizeof(text), "Error CByte operator[](long i) : out of range (%ld/%ld)", i,
                  m_length);
    throw CByteError(text);
}

void CByte::SetBytes(const void* src)
{
    if (src && m_length > 0)
        std::memcpy(m_data, src, static_cast<size_t>(m_length));
}

void CByte::Assign(const char* text)
{
    CByte fresh;
    fresh.Append(text);
    *this = fresh;
}

void CByte::Insert(long index, unsigned char b)
{
    const long oldLength = m_length;
    const long at = std::clamp(index, 0L, oldLength);
    resize(oldLength + 1);
    std::memmove(m_data + at + 1, m_data + at, static_cast<size_t>(oldLength - at));
    m_data[at] = b;
}

unsigned char CByte::Pop(long index)
{
    // An index outside the buffer is refused like an empty buffer rather than read past the block.
    if (index < 0 || index >= m_length)
        throw CByteError("CByte::Pop() : Pop limited.");
    const unsigned char b = m_data[index];
    std::memmove(m_data + index, m_data + index + 1, static_cast<size_t>(m_length - index - 1));
    resize(m_length - 1);
    return b;
}

void CByte::Clear()
{
    resize(0);
}

long CByte::GetLength() const
{
    return m_length;
}

unsigned char* CByte::GetData()
{
    return m_data;
}

const unsigned char* CByte::GetData() const
{
    return m_data;
}

void CByte::TrimZeros()
{
    long n = m_length;
    while (n > 0 && m_data[n - 1] == 0)
        --n;
    keepRange(0, n);
}

char* CByte::ToString()
{
    return newTextCopy(m_data, m_length);
}

char* CByte::ToString() const
{
    return newTextCopy(m_data, m_length);
}

void CByte::Append(const char* text)
{
    if (text)
        appendBytes(reinterpret_cast<const unsigned char*>(text), std::strlen(text));
}

void CByte::Cut(long n)
{
    // A negative count would grow the buffer; it is refused like one that is too large.
    if (n > m_length || n < 0)
        throw CByteError("CByte Cut() : over max.");
    keepRange(0, m_length - n);
}

void CByte::Randomize()
{
    std::srand(static_cast<unsigned>(std::time(nullptr)));
    for (long i = 0; i < m_length; ++i)
        m_data[i] = static_cast<unsigned char>(std::rand() & 0xff);
}

void CByte::AppendFill(long n, unsigned char value)
{
    if (n <= 0)
        return;
    const long oldLength = m_length;
    resize(oldLength + n);
    std::memset(m_data + oldLength, value, static_cast<size_t>(n));
}

void CByte::Reverse()
{
    if (m_length > 0)
        std::reverse(m_data, m_data + m_length);
}

void CByte::ToLower()
{
    for (long i = 0; i < m_length; ++i) {
        if (m_data[i] >= 'A' && m_data[i] <= 'Z')
            m_data[i] = static_cast<unsigned char>(m_data[i] - 'A' + 'a');
    }
}

void CByte::Remove(unsigned char c)
{
    removeIf([](unsigned char b, unsigned char target) { return b == target; }, c);
}

void CByte::RemoveSpaces()
{
    Remove(' ');
}

void CByte::Trim()
{
    long first = 0;
    while (first < m_length && isTrimByte(m_data[first]))
        ++first;
    if (first == m_length)
        return; // only blanks (or empty): left as it is
    long end = m_length;
    while (isTrimByte(m_data[end - 1]))
        --end;
    keepRange(first, end - first);
}

void CByte::SetSize(long n)
{
    Clear();
    resize(std::max(n, 0L));
}

unsigned char& CByte::operator[](long i)
{
    checkIndex(i);
    return m_data[i];
}

const unsigned char& CByte::operator[](long i) const
{
    checkIndex(i);
    return m_data[i];
}

void CByte::PushBack(unsigned char b)
{
    appendBytes(&b, 1);
}

void CByte::Append(const CByte& other)
{
    appendBytes(other.m_data, other.m_length);
}

char* CByte::ToHex() const
{
    static const char digits[] = "0123456789ABCDEF";
    char* text = new char[2 * m_length + 1];
    for (long i = 0; i < m_length; ++i) {
        text[2 * i] = digits[m_data[i] >> 4];
        text[2 * i + 1] = digits[m_data[i] & 0x0f];
    }
    text[2 * m_length] = '\0';
    return text;
}

// Pairs are taken from the end, so an odd count leaves the first digit alone as the first byte.
void CByte::FromHex(const char* text)
{
    const long digits = text ? static_cast<long>(std::strlen(text)) : 0;
    SetSize((digits + 1) / 2);
    long pos = digits;
    for (long i = m_length - 1; i >= 0; --i) {
        const unsigned char low = hexValue(text[--pos]);
        const unsigned char high = pos > 0 ? hexValue(text[--pos]) : 0;
        m_data[i] = static_cast<unsigned char>((high << 4) | low);
    }
}

void XorWith(CByte& data, const CByte& key)
{
    const long keyLength = key.GetLength();
    unsigned char* bytes = data.GetData();
    const unsigned char* keyBytes = key.GetData();
    if (!bytes || !keyBytes || keyLength <= 0)
        return;
    for (long i = 0; i < data.GetLength(); ++i)
        bytes[i] ^= keyBytes[i % keyLength];
}

CByte RandomText(long n)
{
    // One generator per thread: scrambles run on several worker threads at once.
    thread_local std::mt19937 generator{std::random_device{}()};
    std::uniform_int_distribution<long> position(0, RandomAlphabetSize - 1);
    CByte text;
    text.SetSize(n);
    for (long i = 0; i < text.GetLength(); ++i)
        text[i] = static_cast<unsigned char>(RandomAlphabet[position(generator)]);
    return text;
}
