// What the update check and the updater both decide about a downloaded file: whether it is a
// program for this machine, its digest, and which digest failed lately.

#include "support/dupdatecheck.h"

#include "engine/datafolder.h"
#include "support/md5file.h"

#include <QFile>
#include <QFileInfo>

#include <cstdint>
#include <cstring>
#include <elf.h>
#include <memory>

namespace DUpdateCheck {
namespace {

#if UINTPTR_MAX > 0xffffffffu
using Ehdr = Elf64_Ehdr;
using Phdr = Elf64_Phdr;
using Shdr = Elf64_Shdr;
constexpr unsigned char ThisClass = ELFCLASS64;
#else
using Ehdr = Elf32_Ehdr;
using Phdr = Elf32_Phdr;
using Shdr = Elf32_Shdr;
constexpr unsigned char ThisClass = ELFCLASS32;
#endif
constexpr unsigned char ThisByteOrder = Q_BYTE_ORDER == Q_LITTLE_ENDIAN ? ELFDATA2LSB : ELFDATA2MSB;

// A build for a machine not named here never updates itself rather than install a stranger.
#if defined(__x86_64__)
constexpr int ThisMachine = EM_X86_64;
#elif defined(__aarch64__)
constexpr int ThisMachine = EM_AARCH64;
#elif defined(__i386__)
constexpr int ThisMachine = EM_386;
#elif defined(__arm__)
constexpr int ThisMachine = EM_ARM;
#elif defined(__riscv)
constexpr int ThisMachine = EM_RISCV;
#elif defined(__powerpc64__)
constexpr int ThisMachine = EM_PPC64;
#elif defined(__s390x__)
constexpr int ThisMachine = EM_S390;
#elif defined(__mips__)
constexpr int ThisMachine = EM_MIPS;
#else
constexpr int ThisMachine = EM_NONE;
#endif

// True when `count` entries of `size` bytes starting at `offset` lie inside the file.
bool inside(quint64 offset, quint64 count, quint64 size, quint64 fileSize)
{
    return offset <= fileSize && count <= (fileSize - offset) / qMax<quint64>(size, 1);
}

bool headerFits(const Ehdr& header)
{
    return std::memcmp(header.e_ident, ELFMAG, SELFMAG) == 0 &&
           header.e_ident[EI_CLASS] == ThisClass && header.e_ident[EI_DATA] == ThisByteOrder &&
           header.e_ident[EI_VERSION] == EV_CURRENT && header.e_version == EV_CURRENT &&
           (header.e_type == ET_EXEC || header.e_type == ET_DYN) && ThisMachine != EM_NONE &&
           header.e_machine == ThisMachine;
}

// Every loadable segment's bytes are in the file; at least one segment is loaded.
bool segmentsInside(QFile& file, const Ehdr& header, quint64 fileSize)
{
    if (header.e_phentsize != sizeof(Phdr) || header.e_phnum == 0 ||
        !inside(header.e_phoff, header.e_phnum, sizeof(Phdr), fileSize) ||
        !file.seek(static_cast<qint64>(header.e_phoff)))
        return false;
    bool loads = false;
    for (int i = 0; i < header.e_phnum; ++i) {
        Phdr segment = {};
        if (file.read(reinterpret_cast<char*>(&segment), sizeof segment) != sizeof segment)
            return false;
        if (segment.p_type != PT_LOAD)
            continue;
        loads = true;
        if (!inside(segment.p_offset, segment.p_filesz, 1, fileSize))
            return false;
    }
    return loads;
}

QString failedPath()
{
    return dataFolder() + QLatin1Char('/') + QString::fromLatin1(FailedName);
}

} // namespace

bool isProgramForThisMachine(const QString& path)
{
    const QFileInfo info(path);
    if (info.isSymLink() || !info.isFile())
        return false;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const auto fileSize = static_cast<quint64>(file.size());
    Ehdr header = {};
    if (file.read(reinterpret_cast<char*>(&header), sizeof header) != sizeof header ||
        !headerFits(header))
        return false;
    // The section table comes last in a linked program, so a cut file loses it first.
    if (header.e_shoff != 0 &&
        (header.e_shentsize != sizeof(Shdr) ||
         !inside(header.e_shoff, qMax<quint64>(header.e_shnum, 1), sizeof(Shdr), fileSize)))
        return false;
    return segmentsInside(file, header, fileSize);
}

QString md5Of(const QString& path)
{
    std::unique_ptr<char[]> digest(MD5File(QFile::encodeName(path).constData()));
    return digest ? QString::fromLatin1(digest.get()) : QString();
}

void rememberFailed(const QString& md5)
{
    // Written in place, not through a rename: the memory must work where renames fail.
    QFile file(failedPath());
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(md5.toLatin1() + ' ' + QByteArray::number(QDateTime::currentSecsSinceEpoch()) +
                   '\n');
}

QDateTime retryNotBefore(const QString& md5)
{
    QFile file(failedPath());
    if (md5.isEmpty() || !file.open(QIODevice::ReadOnly))
        return QDateTime();
    const QList<QByteArray> fields = file.readLine(200).trimmed().split(' ');
    bool ok = false;
    const qint64 failedAt = fields.value(1).toLongLong(&ok);
    if (fields.size() != 2 || !ok || QString::fromLatin1(fields.at(0)) != md5)
        return QDateTime();
    // A time stamp from the future (the clock was set back) holds back one day, no more.
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    const qint64 notBefore = qMin(failedAt, now) + RetryFailedAfterSec;
    return notBefore > now ? QDateTime::fromSecsSinceEpoch(notBefore) : QDateTime();
}

} // namespace DUpdateCheck
