#include "Maildir.h"

#include <QAtomicInteger>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSysInfo>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Maildir {

namespace {

const QString kInfoSeparator = QStringLiteral(":2,");

QString errnoText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// rename() that fails instead of replacing, so a name collision never
// loses the file already there.
bool renameNoReplace(const QString &from, const QString &to, QString *error)
{
    const QByteArray source = QFile::encodeName(from);
    const QByteArray target = QFile::encodeName(to);
    if (::renameat2(AT_FDCWD, source.constData(), AT_FDCWD, target.constData(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno == EINVAL || errno == ENOSYS) {
        // File systems without the flag: link and unlink, as Maildir always did.
        if (::link(source.constData(), target.constData()) == 0) {
            ::unlink(source.constData());
            return true;
        }
    }
    if (error)
        *error = errnoText(errno);
    return false;
}

QString newUniqueName()
{
    static QAtomicInteger<quint64> counter;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    return QStringLiteral("%1.M%2P%3Q%4.%5")
        .arg(now / 1000)
        .arg((now % 1000) * 1000)
        .arg(::getpid())
        .arg(counter.fetchAndAddRelaxed(1) + 1)
        .arg(QSysInfo::machineHostName()
                 .replace(QLatin1Char('/'), QStringLiteral("\\057"))
                 .replace(QLatin1Char(':'), QStringLiteral("\\072")));
}

// A folder itself, not a link to one.
bool isPlainDirectory(const QString &path)
{
    struct stat status {};
    return ::lstat(QFile::encodeName(path).constData(), &status) == 0 && S_ISDIR(status.st_mode);
}

}  // namespace

bool isMailboxFolder(const QString &folder)
{
    return isPlainDirectory(folder) && isPlainDirectory(folder + QStringLiteral("/cur"))
        && isPlainDirectory(folder + QStringLiteral("/new"));
}

QString folderPath(const QString &root, const QString &accountRelativePath)
{
    if (accountRelativePath.isEmpty()
        || accountRelativePath.compare(QLatin1String(kInboxPath), Qt::CaseInsensitive) == 0)
        return root;
    QString name = accountRelativePath;
    name.replace(QLatin1Char('/'), QLatin1Char('.'));
    return root + QStringLiteral("/.") + name;
}

bool isValidMailboxName(const QString &name)
{
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String(".."))
        return false;
    for (const QChar c : name) {
        if (c == u'/' || c == u'.' || c.category() == QChar::Other_Control)
            return false;
    }
    return true;
}

QStringList mailboxPaths(const QString &root)
{
    QStringList paths{QLatin1String(kInboxPath)};
    const QDir dir(root);
    const QStringList names =
        dir.entryList({QStringLiteral(".?*")}, QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString &name : names) {
        // A link could lead mail out of the account: never a mailbox.
        if (!isMailboxFolder(dir.filePath(name)))
            continue;
        QString path = name.mid(1);
        if (path.isEmpty() || path.startsWith(QLatin1Char('.')) || path.endsWith(QLatin1Char('.'))
            || path.contains(QStringLiteral("..")))
            continue;
        paths.append(path.replace(QLatin1Char('.'), QLatin1Char('/')));
    }
    return paths;
}

bool createMailbox(const QString &root, const QString &accountRelativePath)
{
    const QString folder = folderPath(root, accountRelativePath);
    // Never through a link: the folder and its parts are made here or are
    // plain folders already.
    for (const QString &part :
         {folder, folder + QStringLiteral("/cur"), folder + QStringLiteral("/new"), folder + QStringLiteral("/tmp")}) {
        if (QFileInfo(part).isSymLink())
            return false;
    }
    QDir dir;
    const bool made = dir.mkpath(folder + QStringLiteral("/cur")) && dir.mkpath(folder + QStringLiteral("/new"))
        && dir.mkpath(folder + QStringLiteral("/tmp"));
    if (made && folder != root) {
        QFile marker(folder + QStringLiteral("/maildirfolder"));
        if (!marker.exists())
            marker.open(QIODevice::WriteOnly);
    }
    return made;
}

QString uniqueName(const QString &fileName)
{
    const qsizetype colon = fileName.indexOf(QLatin1Char(':'));
    return colon < 0 ? fileName : fileName.left(colon);
}

QString flags(const QString &fileName)
{
    const qsizetype info = fileName.indexOf(kInfoSeparator);
    return info < 0 ? QString() : fileName.mid(info + kInfoSeparator.size());
}

bool isSeen(const QString &fileName)
{
    return flags(fileName).contains(QLatin1Char('S'));
}

QList<Entry> messageFiles(const QString &folder, QList<Skipped> *skipped, bool readNew, bool readCur)
{
    QList<Entry> entries;
    for (const char *sub : {"/new", "/cur"}) {
        const bool isCur = sub[1] == 'c';
        if (!(isCur ? readCur : readNew))
            continue;
        const QString directory = folder + QLatin1String(sub);
        const QByteArray encoded = QFile::encodeName(directory);
        DIR *dir = ::opendir(encoded.constData());
        if (!dir)
            continue;
        const int dirFd = ::dirfd(dir);
        while (const dirent *each = ::readdir(dir)) {
            const QByteArrayView raw(each->d_name);
            if (raw.startsWith('.'))
                continue;  // hidden, "." and ".."
            const auto skip = [&](const QString &reason) {
                if (skipped)
                    skipped->append(
                        {directory + u'/' + QString::fromLatin1(raw.toByteArray().toPercentEncoding("/:,+=@-_.~")),
                         reason});
            };
            if (!raw.isValidUtf8()) {
                skip(QStringLiteral("its name is not UTF-8"));
                continue;
            }
            // The kind from the listing when the file system gives it; no
            // link is ever followed.
            unsigned char type = each->d_type;
            if (type == DT_UNKNOWN) {
                struct stat status {};
                if (::fstatat(dirFd, each->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0)
                    continue;  // gone meanwhile
                type = S_ISREG(status.st_mode) ? DT_REG : S_ISLNK(status.st_mode) ? DT_LNK : DT_CHR;
            }
            if (type != DT_REG) {
                skip(type == DT_LNK ? QStringLiteral("it is a symbolic link")
                                    : QStringLiteral("it is not a regular file"));
                continue;
            }
            const QString name = QString::fromUtf8(raw);
            entries.append({directory + u'/' + name, uniqueName(name), isCur ? flags(name) : QString(), isCur});
        }
        ::closedir(dir);
    }
    return entries;
}

bool openRegularFile(const QString &path, QFile &file, QString *error)
{
    const QByteArray encoded = QFile::encodeName(path);
    const int fd = ::open(encoded.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (error)
            *error = errnoText(errno);
        return false;
    }
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        if (error)
            *error = QStringLiteral("not a regular file");
        return false;
    }
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        if (error)
            *error = file.errorString();
        return false;
    }
    return true;
}

bool moveIntoFolder(const QString &file, const QString &folder, QString *newPath, QString *error)
{
    QString name = QFileInfo(file).fileName();
    if (!name.contains(kInfoSeparator))
        name = uniqueName(name) + kInfoSeparator;
    const QString target = folder + QStringLiteral("/cur/") + name;
    if (target == file) {
        if (newPath)
            *newPath = file;
        return true;
    }
    if (!renameNoReplace(file, target, error))
        return false;
    if (newPath)
        *newPath = target;
    return true;
}

bool setSeen(const QString &file, bool seen, QString *newPath, QString *error)
{
    const QFileInfo info(file);
    const QString name = info.fileName();
    QString flagText = flags(name);
    if (seen == flagText.contains(QLatin1Char('S')) && name.contains(kInfoSeparator)) {
        if (newPath)
            *newPath = file;
        return true;
    }
    flagText.remove(QLatin1Char('S'));
    if (seen)
        flagText.append(QLatin1Char('S'));
    std::sort(flagText.begin(), flagText.end());  // flags are kept in ASCII order
    const QString folder = info.dir().absolutePath().section(QLatin1Char('/'), 0, -2);
    const QString target = folder + QStringLiteral("/cur/") + uniqueName(name) + kInfoSeparator + flagText;
    if (!renameNoReplace(file, target, error))
        return false;
    if (newPath)
        *newPath = target;
    return true;
}

QString deliver(const QString &folder, const QByteArray &message, const QString &flagText)
{
    const QString unique = newUniqueName();
    const QString temporary = folder + QStringLiteral("/tmp/") + unique;
    QFile file(temporary);
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly) || file.write(message) != message.size()
        || !file.flush()) {
        file.remove();
        return {};
    }
    ::fsync(file.handle());
    file.close();
    const QString target = flagText.isNull() ? folder + QStringLiteral("/new/") + unique
                                             : folder + QStringLiteral("/cur/") + unique + kInfoSeparator + flagText;
    if (!renameNoReplace(temporary, target, nullptr)) {
        QFile::remove(temporary);
        return {};
    }
    return target;
}

}  // namespace Maildir
