// Stored (uncompressed) zip archives with any entry names and symbolic
// links, for archives no ordinary tool would make.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QtEndian>

namespace update_test {

struct ZipEntry {
    QByteArray name;
    QByteArray content;  // a link's target for a link
    bool link = false;
    quint16 madeBy = 0x031E;  // the system that made it (high byte) and version: Unix, 3.0
    qint64 declaredSize = -1;  // the size the central directory gives, when not the true one
};

inline quint32 crc32(const QByteArray &data)
{
    quint32 crc = 0xFFFFFFFFu;
    for (const char byte : data) {
        crc ^= static_cast<unsigned char>(byte);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

inline QByteArray zipArchive(const QList<ZipEntry> &entries)
{
    const auto u16 = [](QByteArray &out, quint16 v) {
        v = qToLittleEndian(v);
        out.append(reinterpret_cast<const char *>(&v), 2);
    };
    const auto u32 = [](QByteArray &out, quint32 v) {
        v = qToLittleEndian(v);
        out.append(reinterpret_cast<const char *>(&v), 4);
    };
    QByteArray archive;
    QByteArray directory;
    for (const ZipEntry &entry : entries) {
        const quint32 offset = quint32(archive.size());
        const quint32 crc = crc32(entry.content);
        const bool folder = entry.name.endsWith('/');
        const quint32 mode = entry.link ? 0120777u : folder ? 040755u : 0100644u;
        u32(archive, 0x04034b50);
        u16(archive, 10);
        u16(archive, 0);
        u16(archive, 0);
        u32(archive, 0);
        u32(archive, crc);
        u32(archive, quint32(entry.content.size()));
        u32(archive, quint32(entry.content.size()));
        u16(archive, quint16(entry.name.size()));
        u16(archive, 0);
        archive += entry.name + entry.content;

        u32(directory, 0x02014b50);
        u16(directory, entry.madeBy);
        u16(directory, 10);
        u16(directory, 0);
        u16(directory, 0);
        u32(directory, 0);
        u32(directory, crc);
        u32(directory, quint32(entry.content.size()));
        u32(directory, quint32(entry.declaredSize >= 0 ? entry.declaredSize : entry.content.size()));
        u16(directory, quint16(entry.name.size()));
        u16(directory, 0);
        u16(directory, 0);
        u16(directory, 0);
        u16(directory, 0);
        u32(directory, mode << 16);
        u32(directory, offset);
        directory += entry.name;
    }
    const quint32 directoryOffset = quint32(archive.size());
    archive += directory;
    u32(archive, 0x06054b50);
    u16(archive, 0);
    u16(archive, 0);
    u16(archive, quint16(entries.size()));
    u16(archive, quint16(entries.size()));
    u32(archive, quint32(directory.size()));
    u32(archive, directoryOffset);
    u16(archive, 0);
    return archive;
}

// A minimal application bundle named `name`.app as archive entries.
inline QList<ZipEntry> bundleEntries(const QByteArray &name)
{
    return {{name + ".app/", {}},
            {name + ".app/Contents/", {}},
            {name + ".app/Contents/Info.plist", "<plist version=\"1.0\"><dict/></plist>"},
            {name + ".app/Contents/MacOS/", {}},
            {name + ".app/Contents/MacOS/Quorvane", "#!/bin/sh\n"}};
}

}  // namespace update_test
