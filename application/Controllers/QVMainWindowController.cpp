#include "QVMainWindowController.h"

#include "ui_QVMainWindowController.h"

// Pages keep their dialogs in guarded pointers, which need the full types.
#include "QVAddEmailOrDomainDialog.h"
#include "QVChangeUserEmailDialog.h"

#include "QVAccountViewController.h"
#include "QVBundleExtensions.h"
#include "QVCMainWindow.h"
#include "QVLanguageListViewController.h"
#include "QVListViewController.h"
#include "QVMailPlugin.h"
#include "QVNSImage.h"
#include "QVRunningApplications.h"
#include "QVSettingsViewController.h"
#include "QVSpamManager.h"
#include "QVTabsViewController.h"
#include "QVUpdateController.h"
#include "QVUserDefaults.h"
#include "QVWorkspace.h"

#include <QApplication>
#include <QDir>
#include <QEvent>
#include <QFile>
#include <QFileInfo>
#include <QIcon>
#include <QPixmap>
#include <QTimer>
#include <QVBoxLayout>

namespace {

constexpr char kInstallAction[] = "ACTION_INSTALL_MAIL_PLUGIN";
constexpr char kUninstallAction[] = "ACTION_UNINSTALL_MAIL_PLUGIN";
constexpr double kTitleBarHeight = 50.0;

}  // namespace

// The images live in a static library, whose resources nothing else pulls
// into the program.
static void registerImages()
{
    Q_INIT_RESOURCE(images);
}

QVMainWindowController::QVMainWindowController(QVMainWindowServices services, QObject *parent)
    : QObject(parent), services_(services)
{
    static const bool imagesRegistered = (registerImages(), true);
    Q_UNUSED(imagesRegistered);
}

QVMainWindowController::~QVMainWindowController()
{
    if (window_)
        qApp->removeEventFilter(this);
    updateController_.reset();
    delete window_;
}

QVCMainWindow *QVMainWindowController::window()
{
    if (!window_)
        awakeFromNib();
    return window_;
}

void QVMainWindowController::awakeFromNib()
{
    window_ = new QVCMainWindow;
    Ui::QVMainWindowController ui;
    ui.setupUi(window_);
    window_->setTitleBarHeight(kTitleBarHeight);
    window_->setWindowIcon(QIcon(QPixmap::fromImage(QVNSImage::imageNamedYosemite(QStringLiteral("Quorvane")))));
    toolbar_ = new QVCMainToolbar(window_->titleBarView());
    toolbar_->setGeometry(QRect(QPoint(0, 0), window_->titleBarView()->size()));
    toolbar_->setDelegate(this);
    window_->titleBarView()->installEventFilter(this);

    containerView_ = window_->contentView();
    auto *containerLayout = new QVBoxLayout(containerView_);
    containerLayout->setContentsMargins(0, 0, 0, 0);
    window_->installEventFilter(this);
    qApp->installEventFilter(this);

    const QString email = QVUserDefaults::standardUserDefaults().stringForKey(kQVEmailAddressKey);
    if (email.isEmpty()) {
        showWelcomeScreen();
        disableToolbar();
    } else if (isMailPluginInstalled()) {
        settingsPage();
        enableToolbar();
    } else {
        showInstallPluginScreen();
        disableToolbar();
    }
    if (QVUserDefaults::standardUserDefaults().boolForKey(kQVCheckForUpdatesAtLaunchKey))
        updateController().startUpdate(true);
}

void QVMainWindowController::showWindow()
{
    QWidget *shown = window();
    if (shown->isMinimized())
        shown->showNormal();
    else
        shown->show();
    shown->raise();
    shown->activateWindow();
}

void QVMainWindowController::orderOut()
{
    QWidget *shown = window();
    if (keepsTaskbarEntry_)
        shown->showMinimized();
    else
        shown->hide();
}

// Pages --------------------------------------------------------------------

void QVMainWindowController::showPage(QVViewController *page, int tag)
{
    setCurrentController(page);
    toolbar_->setSelectedItemTag(tag);
}

void QVMainWindowController::filtersPage()
{
    window();
    QVSpamManager *manager = QVSpamManager::sharedInstance();
    auto *tabs = new QVTabsViewController;
    tabs->addTabNamed(tr("Blacklist"), new QVListViewController(manager->blackList()));
    tabs->addTabNamed(tr("Whitelist"), new QVListViewController(manager->whiteList()));
    tabs->addTabNamed(tr("Language Filters"), new QVLanguageListViewController(manager->languageList()));
    showPage(tabs, 0);
}

void QVMainWindowController::settingsPage()
{
    window();
    showPage(new QVSettingsViewController(this), 1);
}

void QVMainWindowController::accountPage()
{
    window();
    showPage(new QVAccountViewController, 2);
}

void QVMainWindowController::showWelcomeScreen()
{
    window();
    auto *page = new QVWelcomeViewController;
    page->setViewControllerDelegate(this);
    showPage(page, -1);
    disableToolbar();
}

void QVMainWindowController::showInstallPluginScreen()
{
    window();
    auto *page = new QVInstallViewController;
    page->setViewControllerDelegate(this);
    showPage(page, -1);
    disableToolbar();
}

void QVMainWindowController::setCurrentController(QWidget *page)
{
    if (!page || page == currentController_)
        return;
    window();
    page->move(0, 0);
    // Before the first page the container has not been laid out yet: it is
    // the window below the band.
    const QSize oldSize = currentController_
        ? currentController_->size()
        : window_->size() - QSize(0, qRound(window_->titleBarHeight()));
    const QSize newSize = page->size();
    if (currentController_) {
        containerView_->layout()->removeWidget(currentController_);
        currentController_->hide();
        currentController_->deleteLater();
    }
    // The new page joins the layout first, so that the window's limits are
    // the new page's when it is resized.
    const QRect frame = window_->geometry();
    currentController_ = page;
    page->setParent(containerView_);
    containerView_->layout()->addWidget(page);
    window_->layout()->activate();
    window_->setGeometry(frame);
    changeWindowSizeForDelta(newSize - oldSize);
    page->show();
}

void QVMainWindowController::changeWindowSizeForDelta(QSize delta)
{
    // Qt's y grows downwards: keeping the top edge keeps y.
    QRect frame = window()->geometry();
    frame.setWidth(frame.width() + delta.width());
    frame.setHeight(frame.height() + delta.height());
    window_->setGeometry(frame);
}

// Page buttons ---------------------------------------------------------------

int QVMainWindowController::numberOfItemsForToolbar(QVCMainToolbar *)
{
    return 3;
}

QVCMainToolbarItem QVMainWindowController::itemForToolbar(QVCMainToolbar *, int index)
{
    struct Button {
        const char *title;
        const char *icon;
        const char *pressedIcon;
        void (QVMainWindowController::*action)();
    };
    static constexpr Button buttons[] = {
        {QT_TR_NOOP("Filters"), "Filters", "FiltersActive", &QVMainWindowController::filtersPage},
        {QT_TR_NOOP("Settings"), "Settings", "SettingsActive", &QVMainWindowController::settingsPage},
        {QT_TR_NOOP("Account"), "Account", "AccountActive", &QVMainWindowController::accountPage},
    };
    if (index < 0 || index >= 3)
        return {};
    const Button &button = buttons[index];
    QVCMainToolbarItem item;
    item.title = tr(button.title);
    item.icon = QVNSImage::imageNamedYosemite(QString::fromLatin1(button.icon));
    item.pressedIcon = QVNSImage::imageNamedYosemite(QString::fromLatin1(button.pressedIcon));
    item.action = [this, action = button.action] { (this->*action)(); };
    item.tag = index;
    return item;
}

int QVMainWindowController::selectedTag() const
{
    return toolbar_ ? toolbar_->selectedItemTag() : -1;
}

void QVMainWindowController::enableToolbar()
{
    // The first-run pages keep the buttons off, also after a sheet ends.
    if (selectedTag() == -1)
        return;
    enabledToolbar_ = true;
    validateToolbarItems();
}

void QVMainWindowController::disableToolbar()
{
    enabledToolbar_ = false;
    validateToolbarItems();
}

void QVMainWindowController::validateToolbarItems()
{
    if (!toolbar_)
        return;
    for (int tag = 0; tag < 3; ++tag)
        toolbar_->setItemEnabled(enabledToolbar_, tag);
}

// Sheets: window-modal windows over this window (dialogs and alerts).

bool QVMainWindowController::isSheetOfWindow(QObject *object) const
{
    if (!object->isWidgetType())
        return false;
    auto *widget = static_cast<QWidget *>(object);
    return widget->isWindow() && widget != window_ && widget->windowModality() == Qt::WindowModal
        && widget->parentWidget() && widget->parentWidget()->window() == window_;
}

bool QVMainWindowController::eventFilter(QObject *watched, QEvent *event)
{
    const QEvent::Type type = event->type();
    if (window_ && watched == window_->titleBarView() && type == QEvent::Resize)
        toolbar_->setGeometry(QRect(QPoint(0, 0), window_->titleBarView()->size()));
    if (watched == window_ && type == QEvent::Close && keepsTaskbarEntry_) {
        // Closing keeps the window's taskbar entry: it comes back minimized.
        // The close itself goes through, so that quitting, which closes
        // every window first, is never refused.
        QTimer::singleShot(0, window_, [window = window_] {
            if (window->isHidden())
                window->showMinimized();
        });
    }
    if ((type == QEvent::Show || type == QEvent::Hide) && isSheetOfWindow(watched)) {
        auto *sheet = static_cast<QWidget *>(watched);
        const bool open = sheet->property("qv_sheet_open").toBool();
        if (type == QEvent::Show && !open) {
            sheet->setProperty("qv_sheet_open", true);
            connect(sheet, &QObject::destroyed, this, [this] { windowDidEndSheet(); });
            windowWillBeginSheet();
        } else if (type == QEvent::Hide && open) {
            sheet->setProperty("qv_sheet_open", false);
            disconnect(sheet, &QObject::destroyed, this, nullptr);
            windowDidEndSheet();
        }
    }
    return QObject::eventFilter(watched, event);
}

void QVMainWindowController::windowWillBeginSheet()
{
    ++openSheets_;
    disableToolbar();
}

void QVMainWindowController::windowDidEndSheet()
{
    if (openSheets_ > 0)
        --openSheets_;
    if (openSheets_ == 0)
        enableToolbar();
}

// First-run pages ------------------------------------------------------------

void QVMainWindowController::welcomeViewControllerDidEnterEmail(QVWelcomeViewController *)
{
    if (isMailPluginInstalled()) {
        settingsPage();
        enableToolbar();
    } else {
        showInstallPluginScreen();
        disableToolbar();
    }
}

void QVMainWindowController::installViewControllerNeedsInstallPlugin(QVInstallViewController *)
{
    installMailPlugin();
    if (isMailPluginInstalled()) {
        settingsPage();
        enableToolbar();
    }
}

// Mail plug-in ---------------------------------------------------------------

QString QVMainWindowController::pluginBundleName() const
{
    return QVMailPlugin::pluginBundleName();
}

bool QVMainWindowController::isMailPluginInstalled() const
{
    return !QVMailPlugin::installedPluginPath(services_.plugin->libraryPath()).isEmpty();
}

QString QVMainWindowController::installedPluginVersion() const
{
    return QVMailPlugin::bundleVersion(QVMailPlugin::installedPluginPath(services_.plugin->libraryPath()));
}

QString QVMainWindowController::bundledPluginVersion() const
{
    return QVMailPlugin::bundleVersion(services_.plugin->bundledPluginPath());
}

void QVMainWindowController::installMailPlugin()
{
    doMailPluginInstall(false);
}

void QVMainWindowController::uninstallMailPlugin()
{
    doMailPluginUninstall();
}

void QVMainWindowController::doMailPluginInstall(bool)
{
    const QString sourcePath = services_.plugin->bundledPluginPath();
    if (!QFileInfo::exists(sourcePath))
        return;
    const bool done = services_.helper->performActionOnHelperTool(QString::fromLatin1(kInstallAction), sourcePath,
                                                                   services_.plugin->libraryPath());
    if (done)
        mailPluginActionDone(true, {tr("Quorvane extension for Mail was sucessfully installed."), QString(), QString(),
                                    QVAlert::Style::Informational});
    else
        mailPluginActionDone(false, {tr("Couldn't install Quorvane extension for Mail."), QString(), QString(),
                                     QVAlert::Style::Critical});
}

void QVMainWindowController::doMailPluginUninstall()
{
    const bool done = services_.helper->performActionOnHelperTool(
        QString::fromLatin1(kUninstallAction), services_.plugin->bundledPluginPath(), services_.plugin->libraryPath());
    if (done)
        mailPluginActionDone(true, {tr("Quorvane extension for Mail was sucessfully uninstalled."),
                                    tr("You can install the extension later."), QString(),
                                    QVAlert::Style::Informational});
    else
        mailPluginActionDone(false, {tr("Couldn't uninstall Quorvane extension for Mail."), QString(), QString(),
                                     QVAlert::Style::Critical});
}

void QVMainWindowController::mailPluginActionDone(bool done, const QVAlert &alert)
{
    if (done) {
        emit mailPluginInstalledChanged(isMailPluginInstalled());
        // The mail host loads plug-ins when it starts.
        const QString mailHost = QString::fromLatin1(QVRunningApplications::kMailHostBundleIdentifier);
        if (!QVRunningApplications::isRunning(mailHost)) {
            const QString entry = QVWorkspace::URLForApplicationWithBundleIdentifier(mailHost);
            if (!entry.isEmpty())
                QVWorkspace::launchApplicationAtURL(entry, QVWorkspace::LaunchWithoutActivation);
        }
    }
    showWindow();
    services_.alerts->beginSheet(alert, window_);
}

void QVMainWindowController::checkPluginVersionAndInsallIfNeed()
{
    if (!isMailPluginInstalled())
        return;
    if (QVMailPlugin::compareVersions(bundledPluginVersion(), installedPluginVersion()) <= 0)
        return;
    const QVAlert alert{tr("There's new version of Quorvane extension for Mail."),
                        tr("Highly recommended to install the new plugin."), tr("Install"),
                        QVAlert::Style::Informational};
    if (services_.alerts->runModal(alert) == QVAlertPresenter::kDefaultReturn)
        doMailPluginInstall(false);
}

QMetaObject::Connection QVMainWindowController::observeMailPluginInstalled(QObject *context,
                                                                          std::function<void()> handler)
{
    return connect(this, &QVMainWindowController::mailPluginInstalledChanged, context,
                   [handler = std::move(handler)](bool) { handler(); });
}

// Updates --------------------------------------------------------------------

QVUpdateController &QVMainWindowController::updateController()
{
    if (!updateController_)
        updateController_ = std::make_unique<QVUpdateController>(window());
    return *updateController_;
}

void QVMainWindowController::checkForUpdates()
{
    updateController().startUpdate(false);
}

void QVMainWindowController::downloaderDidFinish(QVDownloader *, const QStringList *paths,
                                                 const QStringList *filesToDelete)
{
    const bool nothing = (!paths || paths->isEmpty()) && (!filesToDelete || filesToDelete->isEmpty());
    if (!nothing) {
        const QDir folder(QVNSBundleExtensions::applicationSupportDirectory());
        // Only plain names: a name is never a way out of the folder.
        const auto plainName = [](const QString &name) {
            return !name.isEmpty() && name != QStringLiteral(".") && name != QStringLiteral("..")
                && !name.contains(u'/');
        };
        for (const QString &name : filesToDelete ? *filesToDelete : QStringList())
            if (plainName(name))
                QFile::remove(folder.filePath(name));
        for (const QString &path : paths ? *paths : QStringList()) {
            const QString target = folder.filePath(QFileInfo(path).fileName());
            QFile::remove(target);
            QFile::rename(path, target);
        }
    }
    updateController().startUpdate(true);
}

void QVMainWindowController::downloaderDidFail(QVDownloader *, const QString &)
{
    updateController().startUpdate(true);
}
