#include "QVFileManagerAdditions.h"

#include "PropertyList.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QMimeDatabase>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QStorageInfo>

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
    if (inheritsAny(type,
                    {"text/plain", "application/vnd.oasis.opendocument.text",
                     "application/vnd.oasis.opendocument.spreadsheet",
                     "application/vnd.oasis.opendocument.presentation",
                     "application/vnd.openxmlformats-officedocument.wordprocessingml.document",
                     "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet",
                     "application/vnd.openxmlformats-officedocument.presentationml.presentation", "application/msword",
                     "application/vnd.ms-excel", "application/vnd.ms-powerpoint", "application/epub+zip"}))
        return QVFileTypeDocument;
    if (inheritsAny(type,
                    {"application/zip", "application/x-tar", "application/gzip", "application/x-bzip",
                     "application/x-xz", "application/x-lzma", "application/zstd", "application/x-7z-compressed",
                     "application/vnd.rar", "application/x-cpio", "application/x-apple-diskimage"}))
        return QVFileTypeArchive;
    return QVFileTypeOther;
}

std::mutex &sharedLockObject()
{
    static std::mutex lock;
    return lock;
}

bool makeFSRef(struct stat *fsRef, const QString &path, bool traverseLink, bool *isDirectory)
{
    if (!fsRef) {
        qCritical("Invalid parameter not satisfying: %s", "fsRefPtr");
        return false;
    }
    const QByteArray name = QFile::encodeName(path);
    if (name.isEmpty() || (traverseLink ? ::stat(name.constData(), fsRef) : ::lstat(name.constData(), fsRef)) != 0)
        return false;
    if (isDirectory)
        *isDirectory = S_ISDIR(fsRef->st_mode);
    return true;
}

bool isLinkAtPath(const QString &path)
{
    struct stat status {};
    return makeFSRef(&status, path, false) && S_ISLNK(status.st_mode);
}

bool isFolderAtPath(const QString &path)
{
    struct stat status {};
    bool folder = false;
    return makeFSRef(&status, path, false, &folder) && folder;
}

namespace {

bool hasSystemName(const QString &path)
{
    const QString name = QFileInfo(path).fileName();
    return name.startsWith(u'.') || name.startsWith(u'%') || name.endsWith(u'~');
}

}  // namespace

bool isFileVisibleAtPath(const QString &path)
{
    if (path.compare(u"/net", Qt::CaseInsensitive) == 0 || path.compare(u"/home", Qt::CaseInsensitive) == 0
        || hasSystemName(path))
        return false;
    struct stat status {};
    return makeFSRef(&status, path, false);
}

bool isFileSystemAtPath(const QString &path)
{
    // The system's folders at the root, or at the root of a volume mounted
    // under /media/<user>, /run/media/<user> or /mnt.
    static const QRegularExpression systemFolder(
        QStringLiteral("^/((run/)?media/[^/]*/[^/]*/|mnt/[^/]*/)?"
                       "(bin|boot|dev|etc|home|lib|lib32|lib64|libx32|lost\\+found|media|mnt|net|opt|proc|root|run|"
                       "sbin|srv|sys|tmp|usr|var)/?$"),
        QRegularExpression::CaseInsensitiveOption);
    return hasSystemName(path) || systemFolder.match(path).hasMatch();
}

bool isMountedVolumeOfItemAtPath(const QString &path)
{
    const QStorageInfo volume(path);
    return volume.isValid() && volume.isReady();
}

std::uint64_t resourceForkSizeOfFileAtPath(const QString &)
{
    return 0;
}

std::uint64_t totalSizeOfFileAtPath(const QString &path)
{
    return dataForkSizeOfFileAtPath(path) + resourceForkSizeOfFileAtPath(path);
}

namespace {

template <typename SizeOfFile>
std::uint64_t sizeOfAllItems(const QString &path, std::stop_token operation, SizeOfFile sizeOfFile)
{
    struct stat status {};
    bool folder = false;
    if (!makeFSRef(&status, path, false, &folder))
        return 0;
    if (!folder)
        return sizeOfFile(path);
    std::uint64_t total = 0;
    QDirIterator items(path, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                       QDirIterator::Subdirectories);
    while (items.hasNext()) {
        total += sizeOfFile(items.next());
        if (operation.stop_requested())
            return 0;
    }
    return total;
}

}  // namespace

std::uint64_t dataForkSizeOfAllItemsAtPath(const QString &path, std::stop_token operation)
{
    return sizeOfAllItems(path, operation, dataForkSizeOfFileAtPath);
}

std::uint64_t resourceForkSizeOfAllItemsAtPath(const QString &path, std::stop_token operation)
{
    return sizeOfAllItems(path, operation, resourceForkSizeOfFileAtPath);
}

std::uint64_t totalSizeOfAllItemsAtPath(const QString &path, std::stop_token operation)
{
    return sizeOfAllItems(path, operation, totalSizeOfFileAtPath);
}

std::int64_t bytesInUnit(int unit)
{
    static constexpr std::array<std::int64_t, 6> factors{1, 1000, 1000000, 1000000000, 1000000000000, 1000000000000000};
    return unit >= 0 && unit < int(factors.size()) ? factors[std::size_t(unit)] : 0;
}

QByteArray hashOfAllItemsAtPath(const QString &path, bool shouldHashAllContent, std::stop_token operation)
{
    if (!isFolderAtPath(path))
        return hashOfFileAtPath(path, shouldHashAllContent, operation);
    QCryptographicHash md5(QCryptographicHash::Md5);
    const QStringList entries =
        QDir(path).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString &entry : entries) {
        if (operation.stop_requested())
            return QByteArray();
        md5.addData(hashOfAllItemsAtPath(path + u'/' + entry, shouldHashAllContent, operation));
    }
    if (operation.stop_requested())
        return QByteArray();
    return md5.result();
}

QDateTime lastOpenDateForItemAtPath(const QString &path)
{
    const QFileInfo item(path);
    return item.exists() ? item.lastRead() : QDateTime();
}

QDateTime createdDateForItemAtPath(const QString &path)
{
    const QFileInfo item(path);
    return item.exists() ? item.birthTime() : QDateTime();
}

QString humanReadableFileTypeForItemAtPath(const QString &path)
{
    const QFileInfo item(path);
    if (!item.exists())
        return QStringLiteral("");
    static const QMimeDatabase database;
    return database.mimeTypeForFile(item).comment();
}

QString bundleIdForPath(const QString &path)
{
    QFile file(path + QStringLiteral("/Contents/Info.plist"));
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    const auto plist = PropertyList::fromXml(file.read(1024 * 1024));
    const QVariant identifier = plist ? plist->toMap().value(QStringLiteral("CFBundleIdentifier")) : QVariant();
    return identifier.userType() == QMetaType::QString ? identifier.toString() : QString();
}

QString stringFromFileType(QVFileType type)
{
    static const QStringList texts{
        QCoreApplication::translate("QVFileManagerAdditions", "Other"),
        QCoreApplication::translate("QVFileManagerAdditions", "Application"),
        QCoreApplication::translate("QVFileManagerAdditions", "Archive"),
        QCoreApplication::translate("QVFileManagerAdditions", "Document"),
        QCoreApplication::translate("QVFileManagerAdditions", "Image"),
        QCoreApplication::translate("QVFileManagerAdditions", "Movie"),
        QCoreApplication::translate("QVFileManagerAdditions", "Music"),
    };
    const int index = int(type);
    return index > 0 && index < texts.size() ? texts[index] : texts.front();
}

QString findSystemFolderType(QStandardPaths::StandardLocation type, QVFolderDomain domain)
{
    if (domain == QVFolderDomain::User) {
        const QString folder = QStandardPaths::writableLocation(type);
        return folder.isEmpty() ? QString() : folder;
    }
    // Past the user's own: the machine's folders, the system's last.
    const QStringList folders = QStandardPaths::standardLocations(type).mid(1);
    if (folders.isEmpty())
        return QString();
    return domain == QVFolderDomain::Local ? folders.front() : folders.back();
}

namespace {

// A place a freedesktop trash folder keeps: <trash>/files/<name>
// where <trash> is the user's own ($XDG_DATA_HOME/Trash) or a volume's
// (<top>/.Trash/<uid> or <top>/.Trash-<uid>).
bool isTrashLocation(const QString &path)
{
    const QFileInfo item(path);
    if (!item.isAbsolute())
        return false;
    const QDir files = item.absoluteDir();
    if (files.dirName() != u"files")
        return false;
    const QString trash = QFileInfo(files.absolutePath()).absolutePath();
    const QString home =
        QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/Trash");
    const QString uid = QString::number(::getuid());
    const QFileInfo trashInfo(trash);
    return QDir::cleanPath(trash) == QDir::cleanPath(home) || trashInfo.fileName() == QStringLiteral(".Trash-") + uid
        || (trashInfo.fileName() == uid && QFileInfo(trashInfo.absolutePath()).fileName() == u".Trash");
}

// The user's own trash, with its two folders, made when missing, as other
// desktop programs expect: Qt makes it only when the data folder exists.
void makeHomeTrash()
{
    const QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (data.isEmpty() || !QDir().mkpath(data))
        return;
    for (const QString &folder :
         {data + QStringLiteral("/Trash"), data + QStringLiteral("/Trash/files"), data + QStringLiteral("/Trash/info")})
        ::mkdir(QFile::encodeName(folder).constData(), 0700);
}

}  // namespace

bool trashFileAtPath(const QString &path, QString *error)
{
    if (path.isEmpty() || path.contains(QChar(0))) {
        if (error)
            *error = QCoreApplication::translate("QVFileManagerAdditions", "The file name is invalid.");
        return false;
    }
    makeHomeTrash();
    // Where Qt falls back to when no trash can be had: the working folder.
    const QString strayFiles = QDir::current().absoluteFilePath(QStringLiteral("files"));
    const QString strayInfo = QDir::current().absoluteFilePath(QStringLiteral("info"));
    const bool hadFiles = QFileInfo::exists(strayFiles);
    const bool hadInfo = QFileInfo::exists(strayInfo);
    QFile item(path);
    if (!item.moveToTrash()) {
        if (error)
            *error = item.errorString();
        return false;
    }
    // Without a usable trash Qt may still "succeed" by moving the item into
    // a folder "files" elsewhere (the working directory): put it back and
    // say that nothing was trashed.
    const QString placed = QFileInfo(item.fileName()).absoluteFilePath();
    if (isTrashLocation(placed))
        return true;
    const QString info = QFileInfo(placed).absolutePath() + QStringLiteral("/../info/") + QFileInfo(placed).fileName()
        + QStringLiteral(".trashinfo");
    QFile::remove(info);
    const bool restored = QFile::rename(placed, path);
    // The folders Qt made for it go too (only when empty).
    if (restored && !hadFiles && QFileInfo(placed).absolutePath() == strayFiles)
        QDir().rmdir(strayFiles);
    if (restored && !hadInfo)
        QDir().rmdir(strayInfo);
    if (error) {
        *error = restored
            ? QCoreApplication::translate("QVFileManagerAdditions", "No trash can take the item.")
            : QCoreApplication::translate("QVFileManagerAdditions", "No trash can take the item; it is at %1.")
                  .arg(placed);
    }
    return false;
}

QList<QVVolumeInfo> volumeInfos()
{
    QList<QVVolumeInfo> volumes;
    for (const QStorageInfo &volume : QStorageInfo::mountedVolumes()) {
        if (!volume.isValid() || volume.bytesTotal() <= 0 || !volume.rootPath().startsWith(u'/'))
            continue;
        const QString name = volume.displayName();
        if (name.isEmpty())
            continue;
        volumes.append(
            {name, volume.rootPath(), quint64(volume.bytesTotal()), quint64(std::max<qint64>(0, volume.bytesFree()))});
    }
    return volumes;
}

}  // namespace QVAdditions
