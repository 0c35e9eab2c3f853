#include "QVMailPluginInstaller.h"

#include "QVMailPlugin.h"
#include "QVRunningApplications.h"
#include "QVWorkspace.h"

#include <QDir>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char kInstallAction[] = "ACTION_INSTALL_MAIL_PLUGIN";
constexpr char kUninstallAction[] = "ACTION_UNINSTALL_MAIL_PLUGIN";

QVAlert failure(const QString &message, const QString &reason)
{
    return {message, reason, QString(), QVAlert::Style::Critical};
}

// One folder level, made with the user's rights only.
bool makeFolder(const QString &path, QString *reason)
{
    struct stat status {};
    const QByteArray encoded = QFile::encodeName(path);
    if (::lstat(encoded.constData(), &status) != 0) {
        if (errno != ENOENT || (::mkdir(encoded.constData(), 0700) != 0 && errno != EEXIST)) {
            *reason = QVMailPluginInstaller::tr("The folder %1 couldn't be made: %2.")
                          .arg(QDir::toNativeSeparators(path), QString::fromLocal8Bit(std::strerror(errno)));
            return false;
        }
        if (::lstat(encoded.constData(), &status) != 0)
            return false;
    }
    if (S_ISLNK(status.st_mode)) {
        *reason = QVMailPluginInstaller::tr("The folder %1 is a symbolic link, which the installer doesn't follow.")
                      .arg(QDir::toNativeSeparators(path));
        return false;
    }
    if (!S_ISDIR(status.st_mode)) {
        *reason =
            QVMailPluginInstaller::tr("%1 is in the way: it is not a folder.").arg(QDir::toNativeSeparators(path));
        return false;
    }
    if (status.st_uid != ::getuid()) {
        *reason = QVMailPluginInstaller::tr("The folder %1 doesn't belong to you.").arg(QDir::toNativeSeparators(path));
        return false;
    }
    return true;
}

}  // namespace

QVMailPluginInstaller::QVMailPluginInstaller(QVMainWindowServices services, QObject *parent)
    : QObject(parent), services_(services)
{
}

QVMailPluginInstaller::~QVMailPluginInstaller() = default;

bool QVMailPluginInstaller::isInstalled() const
{
    return !QVMailPlugin::installedPluginPath(services_.plugin->libraryPath()).isEmpty();
}

QString QVMailPluginInstaller::installedVersion() const
{
    return QVMailPlugin::bundleVersion(QVMailPlugin::installedPluginPath(services_.plugin->libraryPath()));
}

QString QVMailPluginInstaller::bundledVersion() const
{
    return QVMailPlugin::bundleVersion(services_.plugin->bundledPluginPath());
}

bool QVMailPluginInstaller::prepareLibraryFolder(const QString &libraryPath, QString *reason)
{
    const QString path = QDir::cleanPath(libraryPath);
    if (!QDir::isAbsolutePath(path)) {
        *reason = tr("The Library folder %1 is not an absolute path.").arg(libraryPath);
        return false;
    }
    // The folders above the Library folder (the data folder) are made as
    // any program of the user's would make them; the helper follows no
    // link, so they must be real folders too.
    const QString parent = QFileInfo(path).path();
    if (!QDir().mkpath(parent)) {
        *reason = tr("The folder %1 couldn't be made.").arg(QDir::toNativeSeparators(parent));
        return false;
    }
    if (QFileInfo(parent).canonicalFilePath() != parent) {
        *reason = tr("The folder %1 lies behind a symbolic link, which the installer doesn't follow.")
                      .arg(QDir::toNativeSeparators(parent));
        return false;
    }
    return makeFolder(path, reason) && makeFolder(path + QStringLiteral("/Mail"), reason)
        && makeFolder(path + QStringLiteral("/Mail/Bundles"), reason);
}

QString QVMailPluginInstaller::failureReason(QVMailPluginHelper::Answer answer) const
{
    if (answer == QVMailPluginHelper::Answer::NotReached)
        return tr("The installer needs an administrator's permission, which was not given.");
    return tr("The installer refused to change %1; the system log says why.")
        .arg(QDir::toNativeSeparators(QVMailPlugin::pluginFolders(services_.plugin->libraryPath()).value(0)));
}

QVMailPluginInstaller::Outcome QVMailPluginInstaller::install()
{
    const QString message = tr("Couldn't install Quorvane extension for Mail.");
    const QString sourcePath = services_.plugin->bundledPluginPath();
    if (!QFileInfo::exists(sourcePath))
        return {false,
                failure(message,
                        tr("This installation of Quorvane doesn't carry the extension (%1 is missing).")
                            .arg(QDir::toNativeSeparators(sourcePath)))};
    QString reason;
    if (!prepareLibraryFolder(services_.plugin->libraryPath(), &reason))
        return {false, failure(message, reason)};
    const auto answer = services_.helper->performActionOnHelperTool(QString::fromLatin1(kInstallAction), sourcePath,
                                                                    services_.plugin->libraryPath());
    if (answer != QVMailPluginHelper::Answer::Done)
        return {false, failure(message, failureReason(answer))};
    didChange();
    return {true,
            {tr("Quorvane extension for Mail was sucessfully installed."), QString(), QString(),
             QVAlert::Style::Informational}};
}

QVMailPluginInstaller::Outcome QVMailPluginInstaller::remove()
{
    const auto answer = services_.helper->performActionOnHelperTool(
        QString::fromLatin1(kUninstallAction), services_.plugin->bundledPluginPath(), services_.plugin->libraryPath());
    if (answer != QVMailPluginHelper::Answer::Done)
        return {false, failure(tr("Couldn't uninstall Quorvane extension for Mail."), failureReason(answer))};
    didChange();
    return {true,
            {tr("Quorvane extension for Mail was sucessfully uninstalled."), tr("You can install the extension later."),
             QString(), QVAlert::Style::Informational}};
}

void QVMailPluginInstaller::didChange()
{
    emit installedChanged(isInstalled());
    // The mail host loads plug-ins when it starts.
    const QString mailHost = QString::fromLatin1(QVRunningApplications::kMailHostBundleIdentifier);
    if (QVRunningApplications::isRunning(mailHost))
        return;
    const QString entry = QVWorkspace::URLForApplicationWithBundleIdentifier(mailHost);
    if (!entry.isEmpty())
        QVWorkspace::launchApplicationAtURL(entry, QVWorkspace::LaunchWithoutActivation);
}
