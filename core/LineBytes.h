#pragma once

// Log lines written straight as UTF-8 bytes, for readers that hold the stored
// values as UTF-8 (the archive's fast path): the same line that
// BuildLogLine builds, without a QString per value or per line.

#include "core/LogLine.h"

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace tallyquill {

// One record's values as UTF-8, in the order of the line.
struct RecordBytes {
    std::string_view date, time, appId, wsId, user, eventType, activity;
};

// Bytes gathered for one write: callers ask for room, write into it and say
// where they stopped.
class ByteBuffer {
public:
    explicit ByteBuffer(size_t capacity = size_t(1) << 18);
    // At least n free bytes at the returned position.
    char* room(size_t n)
    {
        if (capacity_ - size_ < n)
            grow(n);
        return data_.get() + size_;
    }
    void commit(const char* end) { size_ = size_t(end - data_.get()); }
    const char* data() const { return data_.get(); }
    size_t size() const { return size_; }
    size_t capacity() const { return capacity_; }
    void clear() { size_ = 0; }

private:
    void grow(size_t n);
    std::unique_ptr<char[]> data_;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

// A stored record in the form the viewer screen lists it, as DisplayForm
// gives it: date and time rearranged (into `scratch`), the other five
// without the blanks around them.
RecordBytes DisplayFormBytes(const RecordBytes& stored, std::string& scratch);

// Appends the record's line and CRLF: the bytes of
// BuildLogLine(each value decoded, layout).toUtf8() + "\r\n". Widths count
// characters; a byte that is not valid UTF-8 counts, and shows, as one U+FFFD.
void AppendLogLine(ByteBuffer& out, const RecordBytes& record, const LineLayout& layout);

} // namespace tallyquill
