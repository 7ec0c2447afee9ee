#include "audio/TagFileStream.h"

#include <algorithm>

namespace sonorix {

void TagFileStream::insert(const TagLib::ByteVector& data, unsigned long start,
                           unsigned long replace) {
    if (readOnly()) {
        return; // as the library's stream: a read-only stream takes no writes
    }
    const unsigned long size = data.size();
    if (size <= replace) {
        seek(static_cast<long>(start));
        writeBlock(data);
        if (size < replace) {
            removeBlock(start + size, replace - size);
        }
        return;
    }
    // From the end backwards, so that no block is overwritten before it was moved.
    const unsigned long end = static_cast<unsigned long>(length());
    const unsigned long tail = std::min(end, start + replace);
    const unsigned long shift = size - replace;
    for (unsigned long position = end; position > tail;) {
        const unsigned long count = std::min(kBlock, position - tail);
        position -= count;
        seek(static_cast<long>(position));
        const TagLib::ByteVector block = readBlock(count);
        seek(static_cast<long>(position + shift));
        writeBlock(block);
    }
    seek(static_cast<long>(start));
    writeBlock(data);
}

void TagFileStream::removeBlock(unsigned long start, unsigned long length) {
    if (readOnly() || length == 0) {
        return;
    }
    // A start past the end lengthens the file to it, as the library's stream does.
    const unsigned long end = static_cast<unsigned long>(this->length());
    unsigned long from = start + length;
    unsigned long to = start;
    while (from < end) {
        const unsigned long count = std::min(kBlock, end - from);
        seek(static_cast<long>(from));
        const TagLib::ByteVector block = readBlock(count);
        seek(static_cast<long>(to));
        writeBlock(block);
        from += count;
        to += count;
    }
    truncate(static_cast<long>(to));
}

} // namespace sonorix
