#pragma once

#include <stdexcept>

// Raised by CByte (and FileExist) on misuse; what() gives the message text. Nothing in the
// program catches it: it marks a programming error, not a run-time condition.
class CByteError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// A growable byte buffer that owns exactly one heap block of exactly GetLength() bytes (no
// terminating NUL, no spare capacity; no block at all while empty). Every change of length
// moves the bytes into a fresh block. Texts handed out by ToString() and ToHex() are new[]
// allocations that the caller releases with delete[].
class CByte
{
public:
    CByte() = default;
    explicit CByte(const char* text);
    CByte(const CByte& other);
    virtual ~CByte();
    CByte& operator=(CByte other);

    virtual void SetBytes(const void* src);
    virtual void Assign(const char* text);
    virtual void Insert(long index, unsigned char b);
    virtual unsigned char Pop(long index);
    virtual void Clear();
    virtual long GetLength() const;
    virtual unsigned char* GetData();
    virtual const unsigned char* GetData() const;
    virtual void TrimZeros();
    virtual char* ToString();
    virtual char* ToString() const;
    virtual void Append(const char* text);
    virtual void Cut(long n);
    virtual void Randomize();
    virtual void AppendFill(long n, unsigned char value);
    virtual void Reverse();
    virtual void ToLower();
    virtual void Remove(unsigned char c);
    virtual void RemoveSpaces();
    virtual void Trim();

    void SetSize(long n);
    unsigned char& operator[](long i);
    const unsigned char& operator[](long i) const;
    void PushBack(unsigned char b);
    void Append(const CByte& other);
    char* ToHex() const;
    void FromHex(const char* text);

private:
    void resize(long newLength);
    void appendBytes(const unsigned char* bytes, long n);
    void keepRange(long first, long count);
    void removeIf(bool (*matches)(unsigned char, unsigned char), unsigned char c);
    void checkIndex(long i) const;

    long m_length = 0;
    unsigned char* m_data = nullptr;
};

// Byte i of data becomes data[i] XOR key[i mod key length]; does nothing when either is empty.
void XorWith(CByte& data, const CByte& key);
// n characters drawn from "a-z", "A-Z" and "0-9". Safe to call from several threads at once.
CByte RandomText(long n);
