#pragma once

#include <QBuffer>

#include <cstdint>
#include <cstdlib>

// A fuzzer's input: a few leading bytes that steer the target (0 past the end), then the bytes
// the parser reads.
inline quint8 control(const uint8_t* data, size_t size, size_t at)
{
    return at < size ? data[at] : 0;
}

inline QByteArray payload(const uint8_t* data, size_t size, size_t skip)
{
    return QByteArray(reinterpret_cast<const char*>(data), qsizetype(size)).mid(qsizetype(skip));
}

// Hands out at most `chunk` bytes per read, the way a socket does, so that a reader meets
// every possible boundary.
struct ChunkedBuffer : QBuffer
{
    ChunkedBuffer(const QByteArray& bytes, int chunk) : chunk(chunk)
    {
        setData(bytes);
        open(QIODevice::ReadOnly);
    }
    qint64 readData(char* out, qint64 max) override
    {
        return QBuffer::readData(out, qMin<qint64>(max, chunk));
    }
    int chunk;
};
