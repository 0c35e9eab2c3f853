#include "QVFileManagerAdditions.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QMimeDatabase>

#include <algorithm>
#include <array>
#include <initializer_list>
#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace QVAdditions {
namespace {

constexpr qsizetype firstBlockLength = 4096;

class FileDescriptor {
public:
    explicit FileDescriptor(int descriptor) : descriptor_(descriptor) {}
    ~FileDescriptor()
    {
        if (descriptor_ >= 0)
            ::close(descriptor_);
    }
    FileDescriptor(const FileDescriptor &) = delete;
    FileDescriptor &operator=(const FileDescriptor &) = delete;
    int get() const { return descriptor_; }

private:
    int descriptor_;
};

// Reads until `buffer` is full or the file ends; -1 on a read error.
qsizetype readFully(int descriptor, char *buffer, qsizetype capacity)
{
    qsizetype filled = 0;
    while (filled < capacity) {
        const ssize_t count = ::read(descriptor, buffer + filled, static_cast<size_t>(capacity - filled));
        if (count < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (count == 0)
            break;
        filled += count;
    }
    return filled;
}

bool inheritsAny(const QMimeType &type, std::initializer_list<const char *> names)
{
    for (const char *name : names) {
        if (type.inherits(QLatin1StringView(name)))
            return true;
    }
    return false;
}

bool isMedia(const QMimeType &type, QLatin1StringView family)
{
    if (type.name().startsWith(family))
        return true;
    const QStringList ancestors = type.allAncestors();
    return std::any_of(ancestors.cbegin(), ancestors.cend(),
                       [family](const QString &name) { return name.startsWith(family); });
}

}  // namespace

std::uint64_t dataForkSizeOfFileAtPath(const QString &path)
{
    struct stat status {};
    if (::lstat(QFile::encodeName(path).constData(), &status) != 0 || S_ISDIR(status.st_mode))
        return 0;
    return static_cast<std::uint64_t>(status.st_size);
}

QByteArray hashOfFileAtPath(const QString &path, bool shouldHashAllContent, std::stop_token operation)
{
    QCryptographicHash md5(QCryptographicHash::Md5);
    // Non-blocking so that a FIFO cannot stall the open.
    FileDescriptor file(::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (file.get() < 0) {
        const int error = errno;
        return error == ENOENT ? md5.result() : QByteArray();
    }
    struct stat status {};
    if (::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode))
        return QByteArray();

    std::array<char, 64 * 1024> buffer;
    const qsizetype chunk = shouldHashAllContent ? qsizetype(buffer.size()) : firstBlockLength;
    do {
        const qsizetype count = readFully(file.get(), buffer.data(), chunk);
        if (count < 0)
            return QByteArray();  // never the digest of part of a file
        md5.addData(QByteArrayView(buffer.data(), count));
        if (count < chunk)
            break;
    } while (shouldHashAllContent && !operation.stop_requested());

    if (operation.stop_requested())
        return QByteArray();
    return md5.result();
}

QVFileType fileTypeForItemAtPath(const QString &path)
{
    const QFileInfo item(path);
    if (!item.exists())
        return QVFileTypeOther;
    if (item.isDir())
        return item.suffix() == u"app" ? QVFileTypeApplication : QVFileTypeOther;

    static const QMimeDatabase database;
    const QMimeType type = database.mimeTypeForFile(item);
    const QString name = type.name();
    if (isMedia(type, QLatin1StringView("image/")) || type.inherits(QStringLiteral("application/pdf")))
        return QVFileTypeImage;
    if (isMedia(type, QLatin1StringView("audio/")))
        return QVFileTypeMusic;
    if (isMedia(type, QLatin1StringView("video/")))
        return QVFileTypeMovie;
    // By name only: scripts and JSON count executable types among their
    // ancestors.
    if (name == u"application/x-executable" || name == u"application/vnd.appimage")
        return QVFileTypeApplication;
    if (inheritsAny(type, {"text/plain", "application/vnd.oasis.opendocument.text",
                           "application/vnd.oasis.opendocument.spreadsheet",
                           "application/vnd.oasis.opendocument.presentation",
                           "application/vnd.openxmlformats-officedocument.wordprocessingml.document",
                           "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet",
                           "application/vnd.openxmlformats-officedocument.presentationml.presentation",
                           "application/msword", "application/vnd.ms-excel",
                           "application/vnd.ms-powerpoint", "application/epub+zip"}))
        return QVFileTypeDocument;
    if (inheritsAny(type, {"application/zip", "application/x-tar", "application/gzip",
                           "application/x-bzip", "application/x-xz", "application/x-lzma",
                           "application/zstd", "application/x-7z-compressed", "application/vnd.rar",
                           "application/x-cpio", "application/x-apple-diskimage"}))
        return QVFileTypeArchive;
    return QVFileTypeOther;
}

}  // namespace QVAdditions
