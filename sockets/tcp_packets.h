// The read-ahead buffer and the read and write packets of the TCP socket, and the bytes a read
// hands out. Plain data holders owned by the socket and used on its queue only.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "sockets/tls_settings.h"

namespace pavonix::sockets {

using Bytes = std::vector<std::uint8_t>;

// The bytes of one completed read, without a copy: the packet's own buffer, or a view of the
// caller's buffer at the read's offset (valid while the caller leaves that buffer alone).
class ReadData {
public:
    ReadData() = default;
    ReadData(std::shared_ptr<const Bytes> buffer, std::size_t offset, std::size_t length)
        : buffer_(std::move(buffer)), offset_(offset), length_(length) {}

    const std::uint8_t* data() const { return buffer_ ? buffer_->data() + offset_ : nullptr; }
    std::size_t size() const { return length_; }
    bool empty() const { return length_ == 0; }
    std::span<const std::uint8_t> view() const { return {data(), length_}; }
    std::string_view text() const { return {reinterpret_cast<const char*>(data()), length_}; }
    Bytes bytes() const { return Bytes(data(), data() + length_); }
    const std::shared_ptr<const Bytes>& buffer() const { return buffer_; }

private:
    std::shared_ptr<const Bytes> buffer_;
    std::size_t offset_ = 0;
    std::size_t length_ = 0;
};

// Bytes read from the descriptor that no read has taken yet. The readable bytes lie between the
// read and write positions; space at the front is reused only once everything has been read.
class TcpPreBuffer {
public:
    explicit TcpPreBuffer(std::size_t capacity) : storage_(capacity) {}

    std::size_t availableBytes() const { return writePos_ - readPos_; }
    const std::uint8_t* readBuffer() const { return storage_.data() + readPos_; }
    std::size_t availableSpace() const { return storage_.size() - writePos_; }
    std::uint8_t* writeBuffer() { return storage_.data() + writePos_; }

    // Grows by exactly the shortfall; positions keep their offsets.
    void ensureCapacityForWrite(std::size_t length) {
        if (length > availableSpace()) storage_.resize(storage_.size() + (length - availableSpace()));
    }
    void didWrite(std::size_t length) { writePos_ += length; }
    void didRead(std::size_t length) {
        readPos_ += length;
        if (readPos_ == writePos_) reset();
    }
    void reset() { readPos_ = writePos_ = 0; }

private:
    std::vector<std::uint8_t> storage_;
    std::size_t readPos_ = 0;
    std::size_t writePos_ = 0;
};

struct TcpReadPacket {
    // Without a buffer the packet makes its own of `readLength` bytes (empty for other reads).
    TcpReadPacket(std::shared_ptr<Bytes> callerBuffer, std::size_t startOffset, std::size_t maxLength,
                  double timeout, std::size_t readLength, std::optional<Bytes> term, std::int64_t tag);

    std::uint8_t* writePointer() { return buffer->data() + startOffset + bytesDone; }
    // Room for `length` more bytes after those already done.
    void ensureCapacityForAdditionalData(std::size_t length);
    // How much a length or read-available packet takes of `bytesAvailable`.
    std::size_t readLengthForNonTermWithHint(std::size_t bytesAvailable) const;
    // How much a terminator read takes of `bytesAvailable`, and whether it lands in the pre-buffer
    // first because the packet has no room for it.
    std::size_t readLengthForTermWithHint(std::size_t bytesAvailable, bool& shouldPreBuffer) const;
    // Bytes of the pre-buffer up to and including the terminator when it ends in them (found),
    // else as many as the maximum length allows.
    std::size_t readLengthForTermWithPreBuffer(const TcpPreBuffer& preBuffer, bool& found) const;
    // After `numBytes` new bytes landed in the packet (not yet counted in bytesDone): the count of
    // bytes after the terminator, or -1 when it is not there.
    ssize_t searchForTermAfterPreBuffering(std::size_t numBytes) const;

    std::shared_ptr<Bytes> buffer;
    std::size_t startOffset;
    std::size_t bytesDone = 0;
    std::size_t maxLength;  // 0: none
    double timeout;         // negative: none; grows by each extension
    std::size_t readLength; // 0: not a length read
    std::optional<Bytes> term;
    bool bufferOwner;
    std::size_t originalBufferLength;
    std::int64_t tag;
    // Set on the marker that switches the stream to TLS; it sits in both queues at once.
    std::shared_ptr<const TlsSettings> tls;
};

struct TcpWritePacket {
    std::shared_ptr<const Bytes> buffer;
    std::size_t bytesDone = 0;
    std::int64_t tag = 0;
    double timeout = -1;
    std::shared_ptr<const TlsSettings> tls;
};

}  // namespace pavonix::sockets
