#include "sockets/tcp_packets.h"

#include <algorithm>
#include <cstring>

#include "platform/dispatch/dispatch.h"

namespace pavonix::sockets {

TcpReadPacket::TcpReadPacket(std::shared_ptr<Bytes> callerBuffer, std::size_t startOffset,
                             std::size_t maxLength, double timeout, std::size_t readLength,
                             std::optional<Bytes> term, std::int64_t tag)
    : buffer(std::move(callerBuffer)),
      startOffset(startOffset),
      maxLength(maxLength),
      timeout(timeout),
      readLength(readLength),
      term(std::move(term)),
      bufferOwner(buffer == nullptr),
      originalBufferLength(buffer ? buffer->size() : 0),
      tag(tag) {
    if (bufferOwner) {
        buffer = std::make_shared<Bytes>(readLength);
        this->startOffset = 0;
    }
}

void TcpReadPacket::ensureCapacityForAdditionalData(std::size_t length) {
    const std::size_t used = startOffset + bytesDone;
    if (buffer->size() - used < length) buffer->resize(used + length);
}

std::size_t TcpReadPacket::readLengthForNonTermWithHint(std::size_t bytesAvailable) const {
    if (term) dispatch::preconditionFailure("This method does not apply to term reads");
    if (bytesAvailable == 0) dispatch::preconditionFailure("Invalid parameter: bytesAvailable");
    if (readLength > 0) return std::min(bytesAvailable, readLength - bytesDone);
    if (maxLength > 0) return std::min(bytesAvailable, maxLength - bytesDone);
    return bytesAvailable;
}

std::size_t TcpReadPacket::readLengthForTermWithHint(std::size_t bytesAvailable, bool& shouldPreBuffer) const {
    if (!term) dispatch::preconditionFailure("This method does not apply to non-term reads");
    if (bytesAvailable == 0) dispatch::preconditionFailure("Invalid parameter: bytesAvailable");
    std::size_t result = bytesAvailable;
    if (maxLength > 0) result = std::min(result, maxLength - bytesDone);
    const std::size_t room = buffer->size() - (startOffset + bytesDone);
    shouldPreBuffer = room < result;
    return result;
}

std::size_t TcpReadPacket::readLengthForTermWithPreBuffer(const TcpPreBuffer& preBuffer, bool& found) const {
    if (!term) dispatch::preconditionFailure("This method does not apply to non-term reads");
    if (preBuffer.availableBytes() == 0) dispatch::preconditionFailure("Invoked with empty pre buffer!");
    found = false;
    const std::size_t termLength = term->size();
    const std::size_t preLength = preBuffer.availableBytes();
    if (bytesDone + preLength < termLength) return preLength;

    std::size_t maxPreLength = preLength;
    if (maxLength > 0) maxPreLength = std::min(maxPreLength, maxLength - bytesDone);

    // The terminator may begin in the last bytes already in the packet: search the joined tail.
    const std::size_t tailLength = std::min(bytesDone, termLength - 1);
    const std::uint8_t* tail = buffer->data() + startOffset + bytesDone - tailLength;
    const std::uint8_t* pre = preBuffer.readBuffer();
    const std::size_t joined = tailLength + maxPreLength;
    for (std::size_t i = 0; i + termLength <= joined; ++i) {
        bool match = true;
        for (std::size_t k = 0; k < termLength && match; ++k) {
            const std::size_t at = i + k;
            const std::uint8_t byte = at < tailLength ? tail[at] : pre[at - tailLength];
            match = byte == (*term)[k];
        }
        if (match) {
            found = true;
            return i + termLength - tailLength;
        }
    }
    return maxPreLength;
}

ssize_t TcpReadPacket::searchForTermAfterPreBuffering(std::size_t numBytes) const {
    if (!term) dispatch::preconditionFailure("This method does not apply to non-term reads");
    const std::size_t termLength = term->size();
    const std::uint8_t* data = buffer->data() + startOffset;
    const std::size_t length = bytesDone + numBytes;
    std::size_t i = bytesDone >= termLength ? bytesDone - termLength + 1 : 0;
    for (; i + termLength <= length; ++i) {
        if (std::memcmp(data + i, term->data(), termLength) == 0)
            return static_cast<ssize_t>(length - (i + termLength));
    }
    return -1;
}

}  // namespace pavonix::sockets
