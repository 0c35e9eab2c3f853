// The update's description file comes from the network: any bytes must be
// read or refused within the group and size limits.
#include <cstddef>
#include <cstdint>

#include <QGuiApplication>
#include <QTextDocument>

#include "QVRTFReader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    QTextDocument document;
    const QByteArrayView rtf(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const bool read = QVRTFReader::read(rtf, &document);
    if (!read && !document.isEmpty()) __builtin_trap();
    if (document.characterCount() > static_cast<int>(size) + 2) __builtin_trap();
    return 0;
}
