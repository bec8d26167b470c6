#pragma once

// The spool file's layout and the helpers its parts share: the frame and
// header formats, little-endian fields, the append lock. Only the spool's
// own files include this.

#include "spool/SpoolFile.h"

#include "platform/Files.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cerrno>
#include <cstdint>
#include <mutex>

#include <sys/types.h>
#include <unistd.h>

namespace tallyquill::spool::detail {

// Layout of a spool file. The first block is the header: an immutable part
// written once before the file gets its name, two marks for the delivered
// mark (written in turn, so that a write torn by a power cut leaves the
// other), a slot for the last delivery error and the key of the marks'
// chain. Records follow, each framed as [u32 length][u32 CRC-32C of length
// and payload][payload].
// A mark slot: [u64 sequence][u64 offset][u32 CRC of the 16 bytes before]
// [16 bytes chain value][u32 CRC of the 36 bytes before]; files written
// before the chain have only the first 20 bytes.
inline constexpr char kMagic[8] = {'T', 'Q', 'S', 'P', 'O', 'O', 'L', '1'};
inline constexpr uint32_t kHeaderSize = 4096;
inline constexpr uint32_t kFormat = 1;
inline constexpr off_t kMarkSlots[2] = {1024, 1536};
inline constexpr off_t kErrorSlot = 2048;
inline constexpr uint32_t kErrorMax = 1900;
inline constexpr off_t kKeySlot = 3968;  // [32 bytes key][u32 CRC]
inline constexpr int kKeySize = 32;
inline constexpr int kChainSize = 16;
inline constexpr uint32_t kFrameMax = 1u << 20;
inline constexpr uint8_t kRecordVersion = 1;
// Lock bytes: appending (readers share it), delivering, being open.
inline constexpr int kAppendByte = 0;
inline constexpr int kDeliveryByte = 1;
inline constexpr int kOpenByte = 2;
inline constexpr size_t kReadChunk = 64 * 1024;

inline void put16(QByteArray& out, uint16_t v)
{
    out.append(char(v & 0xff)).append(char(v >> 8));
}
inline void put32(QByteArray& out, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        out.append(char((v >> (8 * i)) & 0xff));
}
inline void put64(QByteArray& out, uint64_t v)
{
    for (int i = 0; i < 8; ++i)
        out.append(char((v >> (8 * i)) & 0xff));
}
inline uint64_t getLE(const char* p, int bytes)
{
    uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i)
        v = (v << 8) | uint8_t(p[i]);
    return v;
}

inline bool preadAll(int fd, char* data, size_t size, off_t at) { return platform::PreadAll(fd, data, size, at); }
inline bool pwriteAll(int fd, const char* data, size_t size, off_t at)
{
    return platform::PwriteAll(fd, data, size, at) == size;
}

// The system's own words for `error` go last, as the system gives them.
[[noreturn]] void fail(int16_t id, const QString& english, QStringList args, int error = errno);

// The seven fields of a payload; false when it is not a record of ours.
bool splitRecord(const char* p, uint32_t size, uint32_t base, SpoolFile::Field* fields);
bool decodeRecord(const char* p, uint32_t size, Record& r);

// A mark slot, and the key slot: [32 bytes key][u32 CRC].
QByteArray markSlot(uint64_t sequence, uint64_t offset, const QByteArray& chain);
QByteArray keySlot(const QByteArray& key);

struct FdCloser {
    int fd;
    ~FdCloser()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

} // namespace tallyquill::spool::detail

namespace tallyquill::spool {

// The append lock of the file, and of this process: threads that share one
// open file share its byte locks, so they take the mutex as well.
class SpoolFile::AppendLock {
public:
    AppendLock(SpoolFile& f, short type) : f_(f), guard_(f.mutex_) { f_.lock(detail::kAppendByte, type, true); }
    ~AppendLock() { f_.unlock(detail::kAppendByte); }

private:
    SpoolFile& f_;
    std::lock_guard<std::mutex> guard_;
};

} // namespace tallyquill::spool
