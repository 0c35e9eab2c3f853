// File-system helpers: item tests, sizes of an item or a whole tree, MD5
// digests with cancellation, dates, kinds and types, the trash and the
// mounted volumes. Linux has no resource forks (their size is 0), no
// Finder flags (hidden means a dot name) and no aliases (links are symbolic
// links).
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QStandardPaths>
#include <QString>

#include <cstdint>
#include <mutex>
#include <stop_token>

#include <sys/stat.h>

enum QVFileType {
    QVFileTypeOther = -1,
    QVFileTypeApplication = 1,
    QVFileTypeArchive = 2,
    QVFileTypeDocument = 3,
    QVFileTypeImage = 4,
    QVFileTypeMovie = 5,
    QVFileTypeMusic = 6,
};

// One mounted volume.
struct QVVolumeInfo {
    QString name;  // QVVolumeInfoName
    QString rootPath;  // QVVolumeRootPath
    quint64 totalSize;  // QVVolumeTotalSize, bytes
    quint64 freeSize;  // QVVolumeFreeSize, bytes
};

namespace QVAdditions {

// The size of the file's data; 0 for a folder or a missing path. A final
// symbolic link is not followed.
std::uint64_t dataForkSizeOfFileAtPath(const QString &path);

// The MD5 digest (16 bytes) of the whole file, or of its first 4096 bytes.
// A missing file digests as empty. Null when the item is not a regular file,
// when reading fails, or when `operation` is stopped before the end.
QByteArray hashOfFileAtPath(const QString &path, bool shouldHashAllContent, std::stop_token operation = {});

// The kind of item: from its MIME type, or Application for an executable
// program or a folder named *.app.
QVFileType fileTypeForItemAtPath(const QString &path);

// A lock object shared by the callers that need one.
std::mutex &sharedLockObject();

// The item's status record (this system's file-system reference); with
// `traverseLink` false a final symbolic link is described, not followed.
// A null `fsRef` is a programming error: logged, and false.
bool makeFSRef(struct stat *fsRef, const QString &path, bool traverseLink, bool *isDirectory = nullptr);

bool isLinkAtPath(const QString &path);
// A folder, a final link not followed.
bool isFolderAtPath(const QString &path);
// Not for "/net" and "/home", dot names, names beginning with "%" or ending
// with "~", and items that cannot be examined.
bool isFileVisibleAtPath(const QString &path);
// Dot names and the like, and the system's own folders at the root of the
// system or of a mounted volume.
bool isFileSystemAtPath(const QString &path);
bool isMountedVolumeOfItemAtPath(const QString &path);

// Always 0: there are no resource forks.
std::uint64_t resourceForkSizeOfFileAtPath(const QString &path);
std::uint64_t totalSizeOfFileAtPath(const QString &path);
// The one file's size, or the sum over a whole folder tree (links are not
// followed, folders count 0); 0 when nothing is there or when `operation`
// is stopped.
std::uint64_t dataForkSizeOfAllItemsAtPath(const QString &path, std::stop_token operation = {});
std::uint64_t resourceForkSizeOfAllItemsAtPath(const QString &path, std::stop_token operation = {});
std::uint64_t totalSizeOfAllItemsAtPath(const QString &path, std::stop_token operation = {});
// Powers of 1000 for units 0 (bytes) to 5 (petabytes); 0 outside.
std::int64_t bytesInUnit(int unit);

// A file's digest, or for a folder the MD5 of its entries' digests, entry
// by entry in name order, recursively. Null when stopped.
QByteArray hashOfAllItemsAtPath(const QString &path, bool shouldHashAllContent, std::stop_token operation = {});

// The last access and the creation (birth) time; null when unknown.
QDateTime lastOpenDateForItemAtPath(const QString &path);
QDateTime createdDateForItemAtPath(const QString &path);
// The kind as the MIME database names it; empty when there is no item.
QString humanReadableFileTypeForItemAtPath(const QString &path);
// CFBundleIdentifier of the bundle's Contents/Info.plist; null without one.
QString bundleIdForPath(const QString &path);
// "Other", "Application", ... ; -1, 0 and unknown values are "Other".
QString stringFromFileType(QVFileType type);

enum class QVFolderDomain { User, Local, System };
// The folder of that kind for the domain, not created; null when there is
// none.
QString findSystemFolderType(QStandardPaths::StandardLocation type, QVFolderDomain domain);

// Moves the item into the freedesktop trash. On failure *error, when given,
// says why.
bool trashFileAtPath(const QString &path, QString *error = nullptr);

// Mounted volumes with a size, a root folder and a name.
QList<QVVolumeInfo> volumeInfos();

}  // namespace QVAdditions
