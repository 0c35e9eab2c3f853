// The helper reads its requests, and the application the helper's replies,
// as frames: any bytes must decode or be refused, and what decodes must
// encode back to a frame that decodes to the same message.
#include <cstddef>
#include <cstdint>

#include "QVHelperChannel.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArrayView bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    for (const auto& message :
         {QVHelperChannel::decodeFrame(bytes), QVHelperChannel::decodeBody(bytes)}) {
        if (!message) continue;
        if (message->size() > QVHelperChannel::kMaxEntries) __builtin_trap();
        const QByteArray again = QVHelperChannel::encode(*message);
        if (again.isEmpty() || QVHelperChannel::decodeFrame(again) != message) __builtin_trap();
    }
    return 0;
}
