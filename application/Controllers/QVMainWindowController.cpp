#include "QVMainWindowController.h"

#include "ui_QVMainWindowController.h"

#include "QVMailPlugin.h"
#include "QVRunningApplications.h"
#include "QVUserDefaults.h"
#include "QVWorkspace.h"

#include <QApplication>
#include <QEvent>
#include <QFileInfo>
#include <QVBoxLayout>
#include <QWidget>

namespace {

constexpr char kInstallAction[] = "ACTION_INSTALL_MAIL_PLUGIN";
constexpr char kUninstallAction[] = "ACTION_UNINSTALL_MAIL_PLUGIN";

}  // namespace

QVMainWindowController::QVMainWindowController(QVMainWindowServices services, QObject *parent)
    : QObject(parent), services_(services)
{
}

QVMainWindowController::~QVMainWindowController()
{
    if (window_)
        qApp->removeEventFilter(this);
    delete window_;
}

QWidget *QVMainWindowController::window()
{
    if (!window_)
        awakeFromNib();
    return window_;
}

void QVMainWindowController::awakeFromNib()
{
    window_ = new QWidget;
    Ui::QVMainWindowController ui;
    ui.setupUi(window_);
    containerView_ = ui.containerView;
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
        startUpdate(true);
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

void QVMainWindowController::activateAndShowWindow()
{
    showWindow();
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

void QVMainWindowController::filtersPage()
{
    setCurrentController(new QWidget);
    setSelectedTag(0);
}

void QVMainWindowController::settingsPage()
{
    setCurrentController(new QWidget);
    setSelectedTag(1);
}

void QVMainWindowController::accountPage()
{
    setCurrentController(new QWidget);
    setSelectedTag(2);
}

void QVMainWindowController::showWelcomeScreen()
{
    setCurrentController(new QWidget);
    setSelectedTag(-1);
    disableToolbar();
}

void QVMainWindowController::showInstallPluginScreen()
{
    setCurrentController(new QWidget);
    setSelectedTag(-1);
    disableToolbar();
}

void QVMainWindowController::setCurrentController(QWidget *page)
{
    if (!page || page == currentController_)
        return;
    window();
    page->move(0, 0);
    const QSize oldSize = currentController_ ? currentController_->size() : containerView_->size();
    const QSize newSize = page->size();
    if (currentController_) {
        containerView_->layout()->removeWidget(currentController_);
        currentController_->hide();
        currentController_->deleteLater();
    }
    changeWindowSizeForDelta(newSize - oldSize);
    currentController_ = page;
    page->setParent(containerView_);
    page->setGeometry(containerView_->rect());
    containerView_->layout()->addWidget(page);
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

int QVMainWindowController::selectedTag() const
{
    return selectedTag_;
}

void QVMainWindowController::setSelectedTag(int tag)
{
    selectedTag_ = tag;
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
    if (watched == window_ && type == QEvent::Close && keepsTaskbarEntry_) {
        // Closing keeps the window's taskbar entry: it minimizes instead.
        event->ignore();
        window_->showMinimized();
        return true;
    }
    if ((type == QEvent::Show || type == QEvent::Hide) && isSheetOfWindow(watched)) {
        auto *sheet = static_cast<QWidget *>(watched);
        const bool open = sheet->property("qv_sheet_open").toBool();
        if (type == QEvent::Show && !open) {
            sheet->setProperty("qv_sheet_open", true);
            connect(sheet, &QObject::destroyed, this, [this] { windowDidEndSheet(); }, Qt::UniqueConnection);
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

void QVMainWindowController::welcomeViewControllerDidEnterEmail()
{
    if (isMailPluginInstalled()) {
        settingsPage();
        enableToolbar();
    } else {
        showInstallPluginScreen();
        disableToolbar();
    }
}

void QVMainWindowController::installViewControllerNeedsInstallPlugin()
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
    activateAndShowWindow();
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

// Updates --------------------------------------------------------------------

void QVMainWindowController::checkForUpdates()
{
    startUpdate(false);
}

void QVMainWindowController::startUpdate(bool)
{
}
