#include "QVSettingsViewController.h"

#include "QVLogger.h"
#include "QVMailPluginController.h"
#include "QVNSImage.h"
#include "QVSpamSetttings.h"
#include "QVUserDefaults.h"
#include "QVValueTransformer.h"
#include "ui_QVSettingsViewController.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QMessageBox>
#include <QPointer>
#include <QStandardPaths>
#include <QThreadPool>
#include <QUrl>

QVSettingsViewController::QVSettingsViewController(QVMailPluginController *mainController, QWidget *parent)
    : QVViewController(parent), ui_(std::make_unique<Ui::QVSettingsViewController>()), mainController_(mainController)
{
    ui_->setupUi(this);
    QVUserDefaults &defaults = QVUserDefaults::standardUserDefaults();
    // Without an update service the check at launch does nothing: it is
    // shown off and out of reach, with the reason.
    const bool updatesConfigured = !defaults.stringForKey(kQVUpdateServiceKey).trimmed().isEmpty();
    if (!updatesConfigured) {
        ui_->checkForUpdatesCheckBox->setProperty("qvDefaultsKey", QVariant());
        ui_->checkForUpdatesCheckBox->setChecked(false);
        ui_->checkForUpdatesCheckBox->setEnabled(false);
    }
    ui_->noUpdateServiceLabel->setVisible(!updatesConfigured);
    QVBindings::bindUserDefaults(this, defaults);

    // The application keeps at least one of its Dock icon and status item.
    connect(&defaults, &QVUserDefaults::changed, this, [this, &defaults](const QString &key) {
        if (key == QLatin1String(kQVShowInDockKey) && !defaults.boolForKey(key))
            defaults.setObject(true, QString::fromLatin1(kQVShowInStatusBarKey));
        if (key == QLatin1String(kQVSpamDetectionThresholdKey) || key == QLatin1String(kQVSpamExtendedLoggingKey))
            showDetectionSettings();
    });
    showDetectionSettings();
    connect(ui_->detectionLevelCombo, &QComboBox::activated, this,
            [](int level) { settings().setDetectionLevel(uint32_t(level)); });
    connect(ui_->extendedLoggingCheckBox, &QCheckBox::toggled, this, [](bool on) { settings().setExtenedLogging(on); });

    if (mainController_)
        mainController_->observeMailPluginInstalled(this, [this] { updateInstallUninstallButton(); });
    connect(ui_->installOrUninstallPluginButton, &QPushButton::clicked, this,
            &QVSettingsViewController::installOrUninstallPlugin);
    connect(ui_->collectLogsButton, &QPushButton::clicked, this, &QVSettingsViewController::collectLogFiles);
    updateInstallUninstallButton();

    ui_->filterImage->setPixmap(QPixmap::fromImage(QVNSImage::imageNamedYosemite(QStringLiteral("Icon_Filter"))));
    ui_->loggingImage->setPixmap(QPixmap::fromImage(QVNSImage::imageNamedYosemite(QStringLiteral("Icon_Logging"))));
    adoptDesignSize();
}

QVSettingsViewController::~QVSettingsViewController() = default;

QVSpamSetttings &QVSettingsViewController::settings()
{
    return QVSpamSetttings::sharedInstance();
}

QAbstractButton *QVSettingsViewController::collectLogsButton() const
{
    return ui_->collectLogsButton;
}

QAbstractButton *QVSettingsViewController::installOrUninstallPluginButton() const
{
    return ui_->installOrUninstallPluginButton;
}

void QVSettingsViewController::showDetectionSettings()
{
    const QSignalBlocker levelBlocker(ui_->detectionLevelCombo);
    const QSignalBlocker loggingBlocker(ui_->extendedLoggingCheckBox);
    // A stored level outside 0..4 shows the level whose threshold is in
    // force for it.
    const int level = settings().detectionLevel();
    const int shown = level >= 0 && level <= 4 ? level : int(settings().detectionThreshold() - 10) / 20;
    ui_->detectionLevelCombo->setCurrentIndex(shown);
    ui_->extendedLoggingCheckBox->setChecked(settings().isExtenedLogging());
}

void QVSettingsViewController::updateInstallUninstallButton()
{
    pluginInstalled_ = mainController_ && mainController_->isMailPluginInstalled();
    ui_->installOrUninstallPluginButton->setText(pluginInstalled_ ? tr("Uninstall Mail extension")
                                                                  : tr("Install Mail extension"));
}

void QVSettingsViewController::installOrUninstallPlugin()
{
    if (!mainController_)
        return;
    if (pluginInstalled_)
        mainController_->uninstallMailPlugin();
    else
        mainController_->installMailPlugin();
}

void QVSettingsViewController::collectLogFiles()
{
    ui_->collectLogsButton->setEnabled(false);
    QPointer<QVSettingsViewController> page(this);
    QThreadPool::globalInstance()->start([page] {
        // The archive goes to the desktop folder, which a fresh account may
        // not have yet.
        QDir().mkpath(QStandardPaths::writableLocation(QStandardPaths::DesktopLocation));
        QString archivePath;
        const bool success = QVLogCreateArchiveWithLogFiles(&archivePath);
        QMetaObject::invokeMethod(
            qApp,
            [page, success, archivePath] {
                if (page)
                    page->logArchiveDidFinish(success, archivePath);
            },
            Qt::QueuedConnection);
    });
}

void QVSettingsViewController::logArchiveDidFinish(bool success, const QString &archivePath)
{
    if (success) {
        revealInFileManager(archivePath);
    } else {
        QVLogCore(QStringLiteral("Collecting the log files into an archive failed"));
        auto *alert = new QMessageBox(QMessageBox::Warning, QString(), tr("Couldn't collect the log files."),
                                      QMessageBox::Ok, window());
        alert->setInformativeText(
            tr("No archive could be written to the folder %1.")
                .arg(QDir::toNativeSeparators(QStandardPaths::writableLocation(QStandardPaths::DesktopLocation))));
        alert->setAttribute(Qt::WA_DeleteOnClose);
        alert->setWindowModality(Qt::WindowModal);
        alert->open();
    }
    ui_->collectLogsButton->setEnabled(true);
    emit logArchiveFinished(success, archivePath);
}

void QVSettingsViewController::revealInFileManager(const QString &path)
{
    // The desktop's file manager selects the file when it offers to;
    // otherwise the folder is opened; failing both, the user is told where
    // the archive is.
    QDBusConnection bus = QDBusConnection::sessionBus();
    const QString service = QStringLiteral("org.freedesktop.FileManager1");
    if (bus.isConnected() && bus.interface()->isServiceRegistered(service)) {
        QDBusMessage call = QDBusMessage::createMethodCall(service, QStringLiteral("/org/freedesktop/FileManager1"),
                                                           service, QStringLiteral("ShowItems"));
        call << QStringList{QUrl::fromLocalFile(path).toString()} << QString();
        bus.asyncCall(call);
        return;
    }
    if (revealer_(QUrl::fromLocalFile(QFileInfo(path).absolutePath())))
        return;
    auto *alert = new QMessageBox(QMessageBox::Information, QString(), tr("The log files were collected."),
                                  QMessageBox::Ok, window());
    alert->setObjectName(QStringLiteral("logArchivePlace"));
    alert->setInformativeText(
        tr("No file manager could show the archive. It is %1").arg(QDir::toNativeSeparators(path)));
    alert->setTextInteractionFlags(Qt::TextSelectableByMouse);
    alert->setAttribute(Qt::WA_DeleteOnClose);
    alert->setWindowModality(Qt::WindowModal);
    alert->open();
}

void QVSettingsViewController::setFolderOpenerForTesting(std::function<bool(const QUrl &)> opener)
{
    revealer_ = std::move(opener);
}
