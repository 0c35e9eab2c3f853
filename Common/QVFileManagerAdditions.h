// File helpers of the updater: sizes, MD5 digests with cancellation, and a
// coarse file type.
#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <stop_token>

enum QVFileType {
    QVFileTypeOther = -1,
    QVFileTypeApplication = 1,
    QVFileTypeArchive = 2,
    QVFileTypeDocument = 3,
    QVFileTypeImage = 4,
    QVFileTypeMovie = 5,
    QVFileTypeMusic = 6,
};

namespace QVAdditions {

// The size of the file's data; 0 for a folder or a missing path. A final
// symbolic link is not followed.
std::uint64_t dataForkSizeOfFileAtPath(const QString &path);

// The MD5 digest (16 bytes) of the whole file, or of its first 4096 bytes.
// A missing file digests as empty. Null when the item is not a regular file,
// when reading fails, or when `operation` is stopped before the end.
QByteArray hashOfFileAtPath(const QString &path, bool shouldHashAllContent,
                            std::stop_token operation = {});

// The kind of item: from its MIME type, or Application for an executable
// program or a folder named *.app.
QVFileType fileTypeForItemAtPath(const QString &path);

}  // namespace QVAdditions
