#include "mail_fixture.h"

#include "Maildir.h"
#include "QVEngineAPI.h"
#include "QVNotificationProtocol.h"
#include "QVRunningApplications.h"
#include "QVSpamManager.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QThread>
#include <QThreadPool>

namespace {

const QString kApplication = QString::fromLatin1(QVRunningApplications::kApplicationBundleIdentifier);

void copyFolder(const QString &from, const QString &to)
{
    QDirIterator it(from, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString file = it.next();
        const QString target = to + file.mid(from.size());
        QDir().mkpath(QFileInfo(target).absolutePath());
        QFile::copy(file, target);
        QFile::setPermissions(target, QFile::permissions(file));
    }
}

// Every call succeeds and every score is 0: reports and revocations are
// learned at once, verdicts come from the lists.
class AcceptingEngine final : public QVEngineAPI {
public:
    // `score` for every message; the first lookup takes `firstLookupMs`.
    explicit AcceptingEngine(uint32_t score = 0, int firstLookupMs = 0) : score_(score), firstLookupMs_(firstLookupMs)
    {
    }
    uint32_t initialize(const QByteArray &, const qvse_callbacks_t &callbacks) override
    {
        completed_ = callbacks.network_completed;
        return QVSE_OK;
    }
    uint32_t shutdown() override { return QVSE_OK; }
    uint32_t connect(const std::wstring &) override { return QVSE_OK; }
    uint32_t createContext(void *) override { return QVSE_OK; }
    uint32_t destroyContext(void *) override { return QVSE_OK; }
    uint32_t bindBuffer(void *, const char *, size_t) override { return QVSE_OK; }
    uint32_t authenticate(void *, uint32_t, uint32_t, const std::wstring &) override { return QVSE_OK; }
    uint32_t prepare(void *) override { return QVSE_OK; }
    uint32_t lookup(void *context, uint32_t, bool asynchronous) override
    {
        QThread::msleep(std::exchange(firstLookupMs_, 0));
        // An asynchronous lookup is answered through the completion, as the
        // engine's network thread does.
        if (asynchronous)
            completed_(context, QVSE_OK);
        return QVSE_OK;
    }
    uint32_t classification(void *, bool *w, bool *b, uint32_t *score) override
    {
        *w = *b = false;
        *score = score_;
        return QVSE_OK;
    }
    uint32_t languageClassification(void *) override { return QVSE_E_FAILED; }
    uint32_t report(void *context, bool, uint32_t, bool) override { return learned(context); }
    uint32_t revoke(void *context, bool, uint32_t, bool) override { return learned(context); }

private:
    uint32_t learned(void *context)
    {
        completed_(context, QVSE_OK);
        return QVSE_OK;
    }

    void (*completed_)(void *, uint32_t) = nullptr;
    uint32_t score_;
    int firstLookupMs_;
};

}  // namespace

void settle(int milliseconds)
{
    const QDeadlineTimer deadline(milliseconds);
    while (!deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QThreadPool::globalInstance()->waitForDone();
    QCoreApplication::processEvents();
}

QByteArray mailMessage(const QString &messageID, const QString &from, const QString &subject, const QByteArray &body)
{
    QByteArray message;
    message += "Return-Path: <bounce@example.net>\r\n";
    message += "From: " + from.toUtf8() + "\r\n";
    message += "To: user@example.org\r\n";
    message += "Subject: " + subject.toUtf8() + "\r\n";
    message += "Date: Tue, 08 Dec 2026 10:00:00 +0000\r\n";
    if (!messageID.isEmpty())
        message += "Message-ID: " + messageID.toUtf8() + "\r\n";
    message += "\r\n";
    message += body;
    return message;
}

void MailHostTest::SetUp()
{
    ASSERT_TRUE(dir_.isValid());
    copyFolder(QStringLiteral(QV_MAIL_PLUGIN_BUNDLE), library() + QStringLiteral("/Mail/Bundles/Quorvane.mailbundle"));
    auto *center = QVDistributedNotificationCenter::defaultCenter();
    for (const char *name : {kQVPluginDidReceiveNewMessageNotification, kQVPluginBlockMessageNotification,
                             kQVPluginUnblockMessageNotification, kQVPluginAddAddressToBlackListNotification,
                             kQVPluginAddDomainToBlackListNotification, kQVPluginAddAddressToWhiteListNotification,
                             kQVPluginAddDomainToWhiteListNotification, kQVPluginSwitchToSettingsPageNotification,
                             kQVPluginSwitchToAccountPageNotification, kQVPluginNeedsToLaunchClientNotification,
                             kQVClientDidDetermineSpamNotification, kQVClientDidBlockLetterNotification,
                             kQVClientDidUnblockLetterNotification, kQVClientDidDropMessageNotification}) {
        center->addObserver(&observer_, QString::fromLatin1(name),
                            [this](const QVDistributedNotification &n) { received_.push_back(n); });
    }
    host_ = std::make_unique<QVMailHost::MailHost>(library());
    account_ = host_->addAccount(QStringLiteral("Work"), root());
    ASSERT_TRUE(account_);
}

void MailHostTest::TearDown()
{
    viewer_.reset();
    host_.reset();
    QVDistributedNotificationCenter::defaultCenter()->removeObserver(&observer_);
    if (ownsApplicationName_)
        QVRunningApplications::releaseBundleIdentifier(kApplication);
}

void MailHostTest::start(bool applicationRunning)
{
    if (applicationRunning) {
        ownsApplicationName_ = QVRunningApplications::claimBundleIdentifier(kApplication);
        ASSERT_TRUE(ownsApplicationName_);
    }
    ASSERT_EQ(host_->loadBundles(), 1);
    viewer_ = host_->newViewer();
    host_->openStores();
    viewer_->setSelection(account_->inbox(), {});
}

QString MailHostTest::deliver(const QString &mailbox, const QByteArray &message, const QString &flags)
{
    Maildir::createMailbox(root(), mailbox);
    return Maildir::deliver(Maildir::folderPath(root(), mailbox), message, flags);
}

std::shared_ptr<QVMailHost::MFMessage> MailHostTest::waitForMessage(const QString &messageID)
{
    std::shared_ptr<QVMailHost::MFMessage> message;
    waitFor([&] { return (message = host_->messageWithMessageID(messageID)) != nullptr; });
    return message;
}

QStringList MailHostTest::filesIn(const QString &folder) const
{
    return QDir(folder).entryList(QDir::Files, QDir::Name);
}

std::vector<QVDistributedNotification> MailHostTest::received(const char *name) const
{
    std::vector<QVDistributedNotification> matching;
    for (const auto &n : received_) {
        if (n.name == QLatin1String(name))
            matching.push_back(n);
    }
    return matching;
}

std::unique_ptr<QVSpamManager> MailHostTest::makeManager(bool acceptingEngine, uint32_t score, int firstLookupMs)
{
    std::unique_ptr<QVEngineAPI> engine;
    if (acceptingEngine)
        engine = std::make_unique<AcceptingEngine>(score, firstLookupMs);
    else
        engine = std::make_unique<QVGatewayEngine>();  // no engine files here: its start fails
    return std::make_unique<QVSpamManager>(std::move(engine), dir_.path() + QStringLiteral("/no-engine"),
                                           QStringLiteral("127.0.0.1"),
                                           QVDistributedNotificationCenter::defaultCenter());
}

std::shared_ptr<QVMailHost::ToolbarSegment> MailHostTest::pluginSegment(int index) const
{
    for (const auto &item : viewer_->toolbarItems()) {
        if (item->identifier == QLatin1String("QV_QUORVANE") && index < int(item->segments.size()))
            return item->segments[size_t(index)];
    }
    return nullptr;
}

QVObjC::MenuItemRef MailHostTest::menuItem(const QString &action) const
{
    const auto segment = pluginSegment(1);
    if (!segment || !segment->menu)
        return nullptr;
    std::vector<QVObjC::MenuRef> menus{segment->menu};
    while (!menus.empty()) {
        const auto menu = menus.back();
        menus.pop_back();
        for (const auto &item : menu->items) {
            if (item->action == action)
                return item;
            if (item->submenu)
                menus.push_back(item->submenu);
        }
    }
    return nullptr;
}
