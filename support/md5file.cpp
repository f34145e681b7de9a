#include "support/md5file.h"

#include "support/cbyte.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

constexpr size_t ReadBlockBytes = 1024;

struct MD5Context
{
    uint32_t state[4]; // A, B, C, D
    uint32_t count[2]; // bits processed, low half first
    unsigned char buffer[64];
};

// Per-round shift amounts and the sine-derived constants of RFC 1321, in step order.
const unsigned Shifts[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                             5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                             4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                             6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};

const uint32_t Sines[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

uint32_t rotateLeft(uint32_t x, unsigned n)
{
    return (x << n) | (x >> (32 - n));
}

uint32_t readLittleEndian(const unsigned char* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void writeLittleEndian(uint32_t value, unsigned char* p)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<unsigned char>(value >> (8 * i));
}

void md5Transform(uint32_t state[4], const unsigned char block[64])
{
    uint32_t words[16];
    for (int i = 0; i < 16; ++i)
        words[i] = readLittleEndian(block + 4 * i);
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    for (unsigned step = 0; step < 64; ++step) {
        uint32_t f;
        unsigned index;
        switch (step / 16) {
        case 0:
            f = (b & c) | (~b & d);
            index = step;
            break;
        case 1:
            f = (d & b) | (~d & c);
            index = (5 * step + 1) % 16;
            break;
        case 2:
            f = b ^ c ^ d;
            index = (3 * step + 5) % 16;
            break;
        default:
            f = c ^ (b | ~d);
            index = (7 * step) % 16;
            break;
        }
        const uint32_t rotated = rotateLeft(a + f + Sines[step] + words[index], Shifts[step]);
        a = d;
        d = c;
        c = b;
        b += rotated;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
}

void md5Init(MD5Context& context)
{
    context.state[0] = 0x67452301;
    context.state[1] = 0xefcdab89;
    context.state[2] = 0x98badcfe;
    context.state[3] = 0x10325476;
    context.count[0] = context.count[1] = 0;
}

void md5Update(MD5Context& context, const unsigned char* input, size_t length)
{
    size_t used = (context.count[0] >> 3) & 0x3f;
    const uint64_t bits =
        (uint64_t(context.count[1]) << 32 | context.count[0]) + uint64_t(length) * 8;
    context.count[0] = static_cast<uint32_t>(bits);
    context.count[1] = static_cast<uint32_t>(bits >> 32);
    while (length > 0) {
        const size_t take = length < 64 - used ? length : 64 - used;
        std::memcpy(context.buffer + used, input, take);
        used += take;
        input += take;
        length -= take;
        if (used == 64) {
            md5Transform(context.state, context.buffer);
            used = 0;
        }
    }
}

void md5Final(unsigned char digest[16], MD5Context& context)
{
    unsigned char bitCount[8];
    writeLittleEndian(context.count[0], bitCount);
    writeLittleEndian(context.count[1], bitCount + 4);
    // One 0x80 byte, then zeros up to 56 bytes modulo 64, then the bit count.
    const size_t used = (context.count[0] >> 3) & 0x3f;
    const size_t padLength = used < 56 ? 56 - used : 120 - used;
    unsigned char padding[64] = {0x80};
    md5Update(context, padding, padLength);
    md5Update(context, bitCount, 8);
    for (int i = 0; i < 4; ++i)
        writeLittleEndian(context.state[i], digest + 4 * i);
    std::memset(&context, 0, sizeof(context));
}

} // namespace

char* MD5File(const char* path)
{
    // "e" (close-on-exec) here and below: programs we start never inherit the file.
    FILE* file = path ? std::fopen(path, "rbe") : nullptr;
    if (!file)
        return nullptr;
    MD5Context context;
    md5Init(context);
    unsigned char block[ReadBlockBytes];
    size_t read;
    while ((read = std::fread(block, 1, sizeof(block), file)) > 0)
        md5Update(context, block, read);
    unsigned char digest[16];
    md5Final(digest, context);
    std::fclose(file);
    char* text = new char[33];
    for (int i = 0; i < 16; ++i)
        std::snprintf(text + 2 * i, 3, "%02x", digest[i]);
    return text;
}

bool FileExist(const char* filename)
{
    if (!filename || !*filename) {
        char text[128];
        std::snprintf(text, sizeof(text),
                      "\nlad Error FileExist(char *filename)\nCan't open file %s",
                      filename ? filename : "");
        throw CByteError(text);
    }
    FILE* file = std::fopen(filename, "re");
    if (!file)
        return false;
    std::fclose(file);
    return true;
}
