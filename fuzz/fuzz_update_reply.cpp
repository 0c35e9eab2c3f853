// Update replies come from the network: any bytes must parse or be refused
// without allocating by a count, and what parses can only name plain files
// of non-negative sizes within the update's cap at a trusted address.
#include <cstddef>
#include <cstdint>

#include "QVUpdateProtocol.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QString reply =
        QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    for (const bool verify : {false, true}) {
        QString description;
        QUrl url;
        QList<QVUpdateFile> files;
        if (!QVUpdateReply::parse(reply, verify, &description, &url, &files)) continue;
        std::int64_t announced = 0;
        for (const QVUpdateFile& file : files) {
            if (!QVUpdateSecurity::isPlainFileName(file.name) || file.size < 0) __builtin_trap();
            announced += file.size;
            if (announced > QVUpdateProtocol::kMaxUpdateSize) __builtin_trap();
            if (!QVUpdateSecurity::isTrustedUrl(url)) __builtin_trap();
            const QUrl fileUrl = QVUpdateSecurity::fileUrl(url, file.name);
            if (fileUrl.host() != url.host() || fileUrl.scheme() != url.scheme()) __builtin_trap();
        }
    }
    return 0;
}
