#include "QVMessageActionHandler.h"

#include "QVLogger.h"
#include "QVMailHandler.h"
#include "QVMenu.h"
#include "QVNotificationProtocol.h"
#include "QVPluginBundle.h"

#include <QCoreApplication>

using QVObjC::id;
using QVObjC::ObjectList;

namespace {

const QString kToggleBlock = QStringLiteral("toggleBlock:");

// The host's string table, with the English text as key.
QString localized(const char *text)
{
    return QCoreApplication::translate("QVMessageActionHandler", text);
}

}  // namespace

QVMessageActionHandler::QVMessageActionHandler(QVObjC::Class *isa) : Object(isa)
{
    QVMailHandler::defaultHandler();
}

std::shared_ptr<QVMessageActionHandler> QVMessageActionHandler::create()
{
    return QVObjC::make<QVMessageActionHandler>(QStringLiteral("QVMessageActionHandler"));
}

id QVMessageActionHandler::toolbarItem(const QString &identifier)
{
    QVObjC::Class *itemClass = QVObjC::NSClassFromString(QStringLiteral("SegmentedToolbarItem"));
    const id item = QVObjC::send<id>(QVObjC::sendClass<id>(itemClass, QStringLiteral("alloc")),
                                     QStringLiteral("initWithItemIdentifier:"), identifier);
    if (!item)
        return nullptr;
    const id self = shared_from_this();
    QVObjC::send(item, QStringLiteral("setSegmentCount:"), qint64(2));

    struct Segment {
        const char *label;
        const char *toolTip;
        const char *image;
        QString action;
    };
    const Segment segments[] = {
        {"Block", "Quorvane: Block selected messages", "QV_Block", kToggleBlock},
        {"More", "Quorvane: More options", "QV_MoreOptions", QStringLiteral("showMoreActions:")},
    };
    for (qint64 index = 0; index < 2; ++index) {
        const Segment &segment = segments[index];
        QVObjC::send(item, QStringLiteral("setLabel:forSegment:"), localized(segment.label), index);
        QVObjC::send(item, QStringLiteral("setToolTip:forSegment:"), localized(segment.toolTip), index);
        QVObjC::send(item, QStringLiteral("setImage:forSegment:"), QVPluginBundle::imagePath(segment.image), index);
        QVObjC::send(item, QStringLiteral("setTag:forSegment:"), index, index);
        QVObjC::send(item, QStringLiteral("setAction:forSegment:"), segment.action, index);
        QVObjC::send(item, QStringLiteral("setTarget:forSegment:"), self, index);
    }

    auto menu = std::make_shared<QVMenu>();
    const auto addItem = [&self](QVMenu &to, const char *title, const char *action) {
        auto item = to.addItem(localized(title), QString::fromLatin1(action), QString(""));
        item->target = self;
        return item;
    };
    addItem(*menu, "Show Settings", "showSettings:");
    addItem(*menu, "Show Account", "showAccount:");
    menu->addSeparator();
    for (const bool black : {true, false}) {
        auto holder = menu->addItem(localized(black ? "Black List" : "White List"), QString(), QString(""));
        holder->submenu = std::make_shared<QVMenu>();
        addItem(*holder->submenu, "Add Address", black ? "addAddressToBlackList:" : "addAddressToWhiteList:");
        addItem(*holder->submenu, "Add Domain", black ? "addDomainToBlackList:" : "addDomainToWhiteList:");
    }
    menu->addSeparator();
    addItem(*menu, "Empty Quorvane Folder", "removeAllSpamMessages:");
    QVObjC::send(item, QStringLiteral("setMenu:forSegment:"), QVObjC::MenuRef(menu), qint64(1));
    return item;
}

// Selections

ObjectList QVMessageActionHandler::selectedMessages() const
{
    ObjectList messages;
    for (const id &message : QVObjC::send<ObjectList>(messageViewer(), QStringLiteral("selectedMessages"))) {
        if (QVObjC::send<QDateTime>(message, QStringLiteral("dateReceived")).isValid())
            messages.append(message);
    }
    return messages;
}

ObjectList QVMessageActionHandler::selectedInboxMessages() const
{
    ObjectList messages;
    for (const id &message : selectedMessages()) {
        if (!QVMailHandler::defaultHandler()->isMessageInQuorvaneFolder(message))
            messages.append(message);
    }
    return messages;
}

ObjectList QVMessageActionHandler::selectedMessagesInQuorvaneFolder() const
{
    ObjectList messages;
    for (const id &message : selectedMessages()) {
        if (QVMailHandler::defaultHandler()->isMessageInQuorvaneFolder(message))
            messages.append(message);
    }
    return messages;
}

bool QVMessageActionHandler::isBlockShouldBeEnabled() const
{
    return !selectedInboxMessages().isEmpty();
}

bool QVMessageActionHandler::isUnblockShouldBeEnabled() const
{
    return !selectedMessagesInQuorvaneFolder().isEmpty();
}

id QVMessageActionHandler::firstSelectedMailbox() const
{
    return QVObjC::send<id>(messageViewer(), QStringLiteral("selectedMailbox"));
}

// Actions

void QVMessageActionHandler::toggleBlock(id)
{
    if (isBlockShouldBeEnabled())
        blockSelectedMessages();
    else if (isUnblockShouldBeEnabled())
        unblockSelectedMessages();
}

void QVMessageActionHandler::postMessages(const ObjectList &messages, qsizetype bodyLimit, const QString &logFormat,
                                          const char *notification, QVPendingAnswers::Kind kind)
{
    QVMailHandler *handler = QVMailHandler::defaultHandler();
    handler->launchCore();
    for (const id &message : messages) {
        const QVariantMap userInfo = QVMailHandler::messageUserInfo(message, bodyLimit);
        QVLogPlugin(logFormat, QVObjC::send<QString>(message, QStringLiteral("messageID")));
        // The answer moves this very message, not another with its Message-ID.
        if (QVMailHandler::post(notification, userInfo))
            handler->rememberRequest(kind, message, userInfo);
    }
}

void QVMessageActionHandler::blockSelectedMessages()
{
    postMessages(selectedInboxMessages(), qsizetype(kQVMessageBodyLimit), QStringLiteral("*** BLOCKING: %1"),
                 kQVPluginBlockMessageNotification, QVPendingAnswers::Kind::Block);
}

void QVMessageActionHandler::unblockSelectedMessages()
{
    postMessages(selectedMessagesInQuorvaneFolder(), qsizetype(kQVUnblockMessageBodyLimit),
                 QStringLiteral("*** UNBLOCKING: %1"), kQVPluginUnblockMessageNotification,
                 QVPendingAnswers::Kind::Unblock);
}

void QVMessageActionHandler::postListRequests(const char *notification, ListEntry entry)
{
    QVMailHandler::defaultHandler()->launchCore();
    for (const id &message : selectedMessages()) {
        const QString sender = QVObjC::send<QString>(message, QStringLiteral("sender"));
        QVariantMap userInfo;
        if (!sender.isNull()) {
            if (entry == ListEntry::Address)
                userInfo.insert(QString::fromLatin1(kQVUserInfoAddressKey), QVMailHandler::addressFromSender(sender));
            else
                userInfo.insert(QString::fromLatin1(kQVUserInfoDomainKey), QVMailHandler::domainFromSender(sender));
        }
        QVMailHandler::post(notification, userInfo);
    }
}

void QVMessageActionHandler::addAddressToBlackList(id)
{
    addAddressToBlackListFromSelectedMessages();
}

void QVMessageActionHandler::addDomainToBlackList(id)
{
    addDomainToBlackListFromSelectedMessages();
}

void QVMessageActionHandler::addAddressToWhiteList(id)
{
    addAddressToWhiteListFromSelectedMessages();
}

void QVMessageActionHandler::addDomainToWhiteList(id)
{
    addDomainToWhiteListFromSelectedMessages();
}

void QVMessageActionHandler::addAddressToBlackListFromSelectedMessages()
{
    postListRequests(kQVPluginAddAddressToBlackListNotification, ListEntry::Address);
}

void QVMessageActionHandler::addDomainToBlackListFromSelectedMessages()
{
    postListRequests(kQVPluginAddDomainToBlackListNotification, ListEntry::Domain);
}

void QVMessageActionHandler::addAddressToWhiteListFromSelectedMessages()
{
    postListRequests(kQVPluginAddAddressToWhiteListNotification, ListEntry::Address);
}

void QVMessageActionHandler::addDomainToWhiteListFromSelectedMessages()
{
    postListRequests(kQVPluginAddDomainToWhiteListNotification, ListEntry::Domain);
}

void QVMessageActionHandler::postPageRequest(const char *notification)
{
    QVMailHandler::defaultHandler()->launchCore();
    QVMailHandler::post(notification);
}

void QVMessageActionHandler::showSettings(id)
{
    postPageRequest(kQVPluginSwitchToSettingsPageNotification);
}

void QVMessageActionHandler::showAccount(id)
{
    postPageRequest(kQVPluginSwitchToAccountPageNotification);
}

void QVMessageActionHandler::removeAllSpamMessages(id)
{
    if (const id mailbox = firstSelectedMailbox())
        QVMailHandler::defaultHandler()->removeAllMessagesFromQuorvaneFolderForAccount(
            QVObjC::send<id>(mailbox, QStringLiteral("account")));
}

void QVMessageActionHandler::showMoreActions(id) {}

// Validation

bool QVMessageActionHandler::validateToolbarItem(id item)
{
    if (QVObjC::send<QString>(item, QStringLiteral("action")) != kToggleBlock)
        return true;
    const bool block = isBlockShouldBeEnabled();
    if (!block && !isUnblockShouldBeEnabled())
        return false;
    QVObjC::send(item, QStringLiteral("setImage:"), QVPluginBundle::imagePath(block ? "QV_Block" : "QV_Unblock"));
    QVObjC::send(item, QStringLiteral("setLabel:"), localized(block ? "Block" : "Unblock"));
    QVObjC::send(item, QStringLiteral("setToolTip:"),
                 localized(block ? "Quorvane: Block selected messages" : "Quorvane: Unblock selected messages"));
    return true;
}

bool QVMessageActionHandler::validateMenuItem(QVObjC::MenuItemRef item)
{
    if (!item)
        return true;
    static const QStringList listActions{
        QStringLiteral("addAddressToBlackList:"), QStringLiteral("addDomainToBlackList:"),
        QStringLiteral("addAddressToWhiteList:"), QStringLiteral("addDomainToWhiteList:")};
    if (listActions.contains(item->action))
        return !selectedMessages().isEmpty();
    if (item->action == QLatin1String("removeAllSpamMessages:"))
        return firstSelectedMailbox() != nullptr;
    return true;
}

void QVMessageActionHandler::registerClass()
{
    using H = QVMessageActionHandler;
    QVObjC::Class *cls = QVObjC::objc_registerClass(QStringLiteral("QVMessageActionHandler"),
                                                    QVObjC::NSClassFromString(QStringLiteral("NSObject")));
    if (!cls)
        return;
    const std::pair<const char *, void (H::*)(id)> actions[] = {
        {"toggleBlock:", &H::toggleBlock},
        {"addAddressToBlackList:", &H::addAddressToBlackList},
        {"addDomainToBlackList:", &H::addDomainToBlackList},
        {"addAddressToWhiteList:", &H::addAddressToWhiteList},
        {"addDomainToWhiteList:", &H::addDomainToWhiteList},
        {"showSettings:", &H::showSettings},
        {"showAccount:", &H::showAccount},
        {"removeAllSpamMessages:", &H::removeAllSpamMessages},
        {"showMoreActions:", &H::showMoreActions},
    };
    for (const auto &[name, member] : actions)
        QVObjC::addMemberMethod(cls, QString::fromLatin1(name), member);
    QVObjC::addMemberMethod(cls, QStringLiteral("validateToolbarItem:"), &H::validateToolbarItem);
    QVObjC::addMemberMethod(cls, QStringLiteral("validateMenuItem:"), &H::validateMenuItem);
}
