// Message files in the mail host's Maildirs come from anywhere: any bytes
// must give a summary whose header length lies inside the input, and a
// header that ends with a blank line must end exactly there.
#include <cstddef>
#include <cstdint>

#include "MailMessageHeader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArrayView bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const MailMessageHeader::Summary summary = MailMessageHeader::parse(bytes);
    if (summary.headerLength < 0 || summary.headerLength > bytes.size()) __builtin_trap();
    const qsizetype end = MailMessageHeader::headerEnd(bytes);
    if (end > bytes.size() || (end >= 0 && end != summary.headerLength)) __builtin_trap();
    if (!summary.looksLikeMail && (!summary.messageID.isEmpty() || !summary.sender.isEmpty()))
        __builtin_trap();
    // Decoding is total: the same bytes as one field give some text.
    (void)MailMessageHeader::decodeFieldText(bytes.first(std::min<qsizetype>(bytes.size(), 4096)));
    return 0;
}
