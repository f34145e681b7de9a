#pragma once

#include <QBuffer>
#include <QByteArray>

#include <cstddef>
#include <cstdint>

// Splits a fuzzer's input into a few leading control bytes and the payload.
class FuzzInput
{
public:
    FuzzInput(const uint8_t* data, size_t size)
        : m_data(reinterpret_cast<const char*>(data)), m_size(size)
    {
    }
    // The next control byte, 0 once the input is used up.
    quint8 take()
    {
        if (m_used >= m_size)
            return 0;
        return quint8(m_data[m_used++]);
    }
    // Everything not taken yet.
    QByteArray rest() const { return QByteArray(m_data + m_used, qsizetype(m_size - m_used)); }

private:
    const char* m_data;
    size_t m_size;
    size_t m_used = 0;
};

// A buffer that hands out at most `chunk` bytes per read, the way a file read in pieces
// or a socket does, so that readers meet every possible boundary.
class ChunkedBuffer : public QBuffer
{
public:
    ChunkedBuffer(const QByteArray& bytes, int chunk) : m_chunk(qMax(1, chunk))
    {
        setData(bytes);
        open(QIODevice::ReadOnly);
    }

protected:
    qint64 readData(char* out, qint64 max) override
    {
        return QBuffer::readData(out, qMin<qint64>(max, m_chunk));
    }

private:
    int m_chunk;
};
