#pragma once

// SHA-256 for the bulk of sealing: the digest of every row of every day.
// Qt's own runs at about 130 MB/s here, slower than the databases hand out
// rows; this one uses the processor's SHA instructions where it has them
// (about ten times faster) and a plain implementation elsewhere. The bytes it
// answers are SHA-256's, whichever path ran.

#include <QByteArray>

#include <array>
#include <cstddef>
#include <cstdint>

namespace tallyquill {

class Sha256 {
public:
    Sha256();
    void add(const void* data, size_t size);
    void add(const QByteArray& data) { add(data.constData(), size_t(data.size())); }
    QByteArray finish();  // 32 raw bytes; the object starts again after it
    void reset();

    // Which path the blocks take; tests run both.
    enum class Path { Instructions, Portable };
    static bool hasInstructions();
    explicit Sha256(Path path);

private:
    using Blocks = void (*)(uint32_t* state, const unsigned char* data, size_t blocks);
    Blocks blocks_;
    std::array<uint32_t, 8> state_;
    std::array<unsigned char, 64> pending_;
    size_t pendingSize_ = 0;
    uint64_t total_ = 0;
};

} // namespace tallyquill
