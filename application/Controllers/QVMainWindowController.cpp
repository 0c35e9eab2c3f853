#include "QVMainWindowController.h"

#include "ui_QVMainWindowController.h"

// Pages keep their dialogs in guarded pointers, which need the full types.
#include "QVAddEmailOrDomainDialog.h"
#include "QVChangeUserEmailDialog.h"

#include "QVAccountViewController.h"
#include "QVButtonCell.h"
#include "QVLanguageListViewController.h"
#include "QVListFile.h"
#include "QVListViewController.h"
#include "QVMailPlugin.h"
#include "QVNSImage.h"
#include "QVPrivilegeOperationManager.h"
#include "QVSettingsViewController.h"
#include "QVSpamManager.h"
#include "QVTabsViewController.h"
#include "QVUpdateController.h"
#include "QVUserDefaults.h"
#include "SheetTracker.h"

#include <QAbstractButton>
#include <QCursor>
#include <QEvent>
#include <QFileInfo>
#include <QIcon>
#include <QMenu>
#include <QMenuBar>
#include <QPixmap>
#include <QToolButton>
#include <QTimer>
#include <QVBoxLayout>

namespace {

// A helper request waits for its password dialog in a nested event loop;
// the buttons that would start another one stay off meanwhile.
void offWhileTheHelperWorks(QAbstractButton *button)
{
    auto &helper = QVPrivilegeOperationManager::sharedManager();
    button->setEnabled(!helper.isBusy());
    QObject::connect(&helper, &QVPrivilegeOperationManager::busyChanged, button,
                     [button](bool busy) { button->setEnabled(!busy); });
}

constexpr double kTitleBarHeight = 50.0;

}  // namespace

// The images live in a static library, whose resources nothing else pulls
// into the program.
static void registerImages()
{
    Q_INIT_RESOURCE(images);
}

int QVMainWindowController::tagOf(Page page)
{
    switch (page) {
    case Page::Filters:
    case Page::Settings:
    case Page::Account: return int(page);
    case Page::Welcome:
    case Page::Install: break;
    }
    return -1;
}

QVMainWindowController::QVMainWindowController(QVMainWindowServices services, QObject *parent)
    : QObject(parent), services_(services), installer_(services)
{
    static const bool imagesRegistered = (registerImages(), true);
    Q_UNUSED(imagesRegistered);
    connect(&installer_, &QVMailPluginInstaller::installedChanged, this,
            &QVMainWindowController::mailPluginInstalledChanged);
}

QVMainWindowController::~QVMainWindowController()
{
    // The tracker watches the window: it goes first, so nothing of this
    // controller sees the window's last events.
    sheets_.reset();
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
    connect(window_, &QVCMainWindow::windowWillClose, this, &QVMainWindowController::windowWillClose);
    window_->installEventFilter(this);

    toolbar_ = new QVCMainToolbar;
    auto *bandLayout = new QVBoxLayout(window_->titleBarView());
    bandLayout->setContentsMargins(0, 0, 0, 0);
    bandLayout->addWidget(toolbar_);
    toolbar_->setDelegate(this);

    containerView_ = window_->contentView();
    auto *containerLayout = new QVBoxLayout(containerView_);
    containerLayout->setContentsMargins(0, 0, 0, 0);

    installApplicationMenu();

    sheets_ = std::make_unique<SheetTracker>(window_);
    connect(sheets_.get(), &SheetTracker::sheetWillBegin, this, &QVMainWindowController::disableToolbar);
    connect(sheets_.get(), &SheetTracker::sheetDidEnd, this, &QVMainWindowController::enableToolbar);

    const QString email = QVUserDefaults::standardUserDefaults().stringForKey(kQVEmailAddressKey);
    if (email.isEmpty()) {
        switchTo(Page::Welcome);
    } else if (isMailPluginInstalled()) {
        switchTo(Page::Settings);
        enableToolbar();
    } else {
        switchTo(Page::Install);
    }
    if (QVUserDefaults::standardUserDefaults().boolForKey(kQVCheckForUpdatesAtLaunchKey))
        updateController().startUpdate(true);
}

void QVMainWindowController::showWindow()
{
    QWidget *shown = window();
    shown->setAttribute(Qt::WA_ShowWithoutActivating, false);
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
    // Until the user brings it up, showing the window (minimized, now or
    // when the taskbar entry is wanted later) asks the window manager for
    // no focus.
    shown->setAttribute(Qt::WA_ShowWithoutActivating, true);
    if (keepsTaskbarEntry_)
        shown->showMinimized();
    else
        shown->hide();
}

void QVMainWindowController::setApplicationMenu(QMenu *menu, QAction *quit)
{
    applicationMenu_ = menu;
    quitAction_ = quit;
    if (window_)
        installApplicationMenu();
}

void QVMainWindowController::installApplicationMenu()
{
    if (quitAction_)
        window_->addAction(quitAction_);
    if (!applicationMenu_ || menuBar_)
        return;
    menuBar_ = new QMenuBar(window_);
    menuBar_->addMenu(applicationMenu_);
    menuBar_->setVisible(keepsTaskbarEntry_);
    window_->layout()->setMenuBar(menuBar_);
    // The window grows by the bar: the page keeps its size.
    if (keepsTaskbarEntry_)
        changeWindowSizeForDelta(QSize(0, menuBarHeight()));
}

int QVMainWindowController::menuBarHeight() const
{
    return menuBar_ && !menuBar_->isHidden() ? menuBar_->sizeHint().height() : 0;
}

void QVMainWindowController::setKeepsTaskbarEntry(bool keeps)
{
    if (keeps == keepsTaskbarEntry_)
        return;
    keepsTaskbarEntry_ = keeps;
    if (!menuBar_)
        return;
    const int height = menuBar_->sizeHint().height();
    menuBar_->setVisible(keeps);
    changeWindowSizeForDelta(QSize(0, keeps ? height : -height));
}

void QVMainWindowController::windowWillClose()
{
    if (!keepsTaskbarEntry_)
        return;
    // Closing keeps the window's taskbar entry: it comes back minimized. The
    // close itself goes through, so that quitting, which closes every
    // window first, is never refused.
    QTimer::singleShot(0, window_, [this] {
        if (window_->isHidden())
            orderOut();
    });
}

bool QVMainWindowController::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == window_ && (event->type() == QEvent::Show || event->type() == QEvent::WindowStateChange))
        QMetaObject::invokeMethod(this, &QVMainWindowController::tellOfSetAsideLists, Qt::QueuedConnection);
    return QObject::eventFilter(watched, event);
}

void QVMainWindowController::tellOfSetAsideLists()
{
    if (!window_ || !window_->isVisible() || window_->isMinimized())
        return;
    const QList<QVListFile::SetAside> files = QVListFile::takeSetAsideFiles();
    if (files.isEmpty())
        return;
    // By the names the Filters page gives the lists.
    const auto listName = [](const QString &path) {
        const QString name = QFileInfo(path).completeBaseName();
        if (name == u"BlackList")
            return tr("Blacklist");
        if (name == u"WhiteList")
            return tr("Whitelist");
        if (name == u"LanguageList")
            return tr("Language Filters");
        return name;
    };
    QStringList lines;
    for (const QVListFile::SetAside &file : files) {
        const QString kept = file.kept == 0 ? tr("nothing of it could be read, so the list starts anew")
            : file.kept == 1                ? tr("the one entry that could be read was kept")
                                            : tr("the %1 entries that could be read were kept").arg(file.kept);
        lines << tr("%1: %2. The damaged file was kept as %3.").arg(listName(file.path), kept, file.aside);
    }
    const QVAlert alert{files.size() == 1 ? tr("A list was damaged and has been repaired.")
                                          : tr("Lists were damaged and have been repaired."),
                        lines.join(u"\n\n"), QString(), QVAlert::Style::Critical};
    services_.alerts->beginSheet(alert, window_);
}

// Pages --------------------------------------------------------------------

bool QVMainWindowController::isFirstRunPageShown() const
{
    return currentPage_ == Page::Welcome || currentPage_ == Page::Install;
}

void QVMainWindowController::requestPage(Page page)
{
    window();
    // The first run ends on its own pages, never by skipping them.
    if (isFirstRunPageShown() || tagOf(page) < 0)
        return;
    const bool queued = pendingPage_.has_value();
    pendingPage_ = page;
    if (!queued)
        QMetaObject::invokeMethod(this, &QVMainWindowController::performPendingSwitch, Qt::QueuedConnection);
}

void QVMainWindowController::performPendingSwitch()
{
    const std::optional<Page> page = std::exchange(pendingPage_, std::nullopt);
    if (page && !isFirstRunPageShown())
        switchTo(*page);
}

void QVMainWindowController::switchTo(Page page)
{
    window();
    if (page == currentPage_ && currentController_)
        return;
    QWidget *controller = nullptr;
    switch (page) {
    case Page::Filters: {
        QVSpamManager *manager = QVSpamManager::sharedInstance();
        auto *tabs = new QVTabsViewController;
        tabs->addTabNamed(tr("Blacklist"), new QVListViewController(manager->blackList()));
        tabs->addTabNamed(tr("Whitelist"), new QVListViewController(manager->whiteList()));
        tabs->addTabNamed(tr("Language Filters"), new QVLanguageListViewController(manager->languageList()));
        controller = tabs;
        break;
    }
    case Page::Settings: {
        auto *settings = new QVSettingsViewController(this);
        offWhileTheHelperWorks(settings->installOrUninstallPluginButton());
        controller = settings;
        break;
    }
    case Page::Account: controller = new QVAccountViewController; break;
    case Page::Welcome: {
        auto *welcome = new QVWelcomeViewController;
        welcome->setViewControllerDelegate(this);
        controller = welcome;
        break;
    }
    case Page::Install: {
        auto *install = new QVInstallViewController;
        install->setViewControllerDelegate(this);
        offWhileTheHelperWorks(install->installButton());
        controller = install;
        break;
    }
    }
    setCurrentController(controller);
    currentPage_ = page;
    toolbar_->setSelectedItemTag(tagOf(page));
    if (tagOf(page) < 0)
        disableToolbar();
}

void QVMainWindowController::setCurrentController(QWidget *page)
{
    if (!page || page == currentController_)
        return;
    window();
    // Taken before the layout may stretch the page to the old one's size.
    const QSize pageSize = page->size();
    if (currentController_) {
        containerView_->layout()->removeWidget(currentController_);
        currentController_->hide();
        currentController_->deleteLater();
    }
    currentController_ = page;
    currentPage_.reset();
    page->setParent(containerView_);
    containerView_->layout()->addWidget(page);
    // The window takes the page's size below the band, whatever page it
    // showed before.
    window_->layout()->activate();
    const QSize wanted = pageSize + QSize(0, qRound(window_->titleBarHeight()) + menuBarHeight());
    changeWindowSizeForDelta(wanted - window_->size());
    page->show();
}

void QVMainWindowController::changeWindowSizeForDelta(QSize delta)
{
    // A resize keeps the window's top-left corner, so the top edge stays;
    // and it never places a window that is not on the screen yet, which is
    // the window manager's to place.
    window()->resize(window_->size() + delta);
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
        Page page;
    };
    static constexpr Button buttons[] = {
        {QT_TR_NOOP("Filters"), "Filters", "FiltersActive", Page::Filters},
        {QT_TR_NOOP("Settings"), "Settings", "SettingsActive", Page::Settings},
        {QT_TR_NOOP("Account"), "Account", "AccountActive", Page::Account},
    };
    if (index < 0 || index >= 3)
        return {};
    const Button &button = buttons[index];
    QVCMainToolbarItem item;
    item.title = tr(button.title);
    item.icon = QVNSImage::imageNamedYosemite(QString::fromLatin1(button.icon));
    item.pressedIcon = QVNSImage::imageNamedYosemite(QString::fromLatin1(button.pressedIcon));
    item.action = [this, page = button.page] { requestPage(page); };
    item.tag = tagOf(button.page);
    return item;
}

int QVMainWindowController::selectedTag() const
{
    return toolbar_ ? toolbar_->selectedItemTag() : -1;
}

void QVMainWindowController::enableToolbar()
{
    // The first-run pages keep the buttons off, also after a sheet ends.
    if (selectedTag() == -1 || (sheets_ && sheets_->hasSheet()))
        return;
    enabledToolbar_ = true;
    validateToolbarItems();
    // A sheet takes the pointer without the buttons hearing it leave or
    // the press end: a button still marked hovered or pressed would be
    // drawn raised until the pointer passes over it again.
    for (QAbstractButton *button : toolbar_->buttons()) {
        button->setDown(false);
        if (button->testAttribute(Qt::WA_UnderMouse) && !button->rect().contains(button->mapFromGlobal(QCursor::pos())))
            button->setAttribute(Qt::WA_UnderMouse, false);
        button->update();
    }
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

// First-run pages ------------------------------------------------------------

void QVMainWindowController::welcomeViewControllerDidEnterEmail(QVWelcomeViewController *)
{
    if (isMailPluginInstalled()) {
        switchTo(Page::Settings);
        enableToolbar();
    } else {
        switchTo(Page::Install);
    }
}

void QVMainWindowController::installViewControllerNeedsInstallPlugin(QVInstallViewController *)
{
    installMailPlugin();
}

// Mail plug-in ---------------------------------------------------------------

void QVMainWindowController::installMailPlugin()
{
    const QVMailPluginInstaller::Outcome outcome = installer_.install();
    // However it was asked for, an install ends the install page.
    if (currentPage_ == Page::Install && isMailPluginInstalled()) {
        switchTo(Page::Settings);
        enableToolbar();
    }
    showOutcome(outcome);
}

void QVMainWindowController::uninstallMailPlugin()
{
    showOutcome(installer_.remove());
}

void QVMainWindowController::showOutcome(const QVMailPluginInstaller::Outcome &outcome)
{
    showWindow();
    services_.alerts->beginSheet(outcome.alert, window_);
}

void QVMainWindowController::checkPluginVersionAndInsallIfNeed()
{
    if (!isMailPluginInstalled())
        return;
    if (QVMailPlugin::compareVersions(installer_.bundledVersion(), installer_.installedVersion()) <= 0)
        return;
    const QVAlert alert{tr("There's new version of Quorvane extension for Mail."),
                        tr("Highly recommended to install the new plugin."), tr("Install"),
                        QVAlert::Style::Informational};
    if (services_.alerts->runModal(alert) == QVAlertPresenter::kDefaultReturn)
        installMailPlugin();
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
