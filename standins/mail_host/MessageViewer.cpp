#include "MessageViewer.h"

#include "QVNotificationCenter.h"

#include <QCoreApplication>
#include <QLoggingCategory>

#include <algorithm>
#include <mutex>

Q_DECLARE_LOGGING_CATEGORY(lcMailHost)

namespace QVMailHost {

namespace {

const QString kCheckMail = QStringLiteral("CheckMail");
const QString kToggleRead = QStringLiteral("ToggleRead");
const QString kValidateToolbarItem = QStringLiteral("validateToolbarItem:");

}  // namespace

// Segments

void ToolbarSegment::validate()
{
    const QVObjC::id receiver = target.lock();
    if (!action.isEmpty() && QVObjC::respondsToSelector(receiver, kValidateToolbarItem))
        enabled = QVObjC::send<bool>(receiver, kValidateToolbarItem, QVObjC::id(shared_from_this()));
}

void ToolbarSegment::perform(const QVObjC::id &sender)
{
    const QVObjC::id receiver = target.lock();
    if (!action.isEmpty() && receiver && enabled)
        QVObjC::send(receiver, action, sender);
}

// Toolbar items

QVObjC::id ToolbarItem::initWithItemIdentifier(QString itemIdentifier)
{
    identifier = std::move(itemIdentifier);
    setSegmentCount(1);
    return shared_from_this();
}

void ToolbarItem::setSegmentCount(qint64 count)
{
    count = std::clamp<qint64>(count, 0, 16);
    while (qint64(segments.size()) > count)
        segments.pop_back();
    while (qint64(segments.size()) < count)
        segments.push_back(
            std::make_shared<ToolbarSegment>(QVObjC::NSClassFromString(QStringLiteral("ToolbarSegment"))));
}

ToolbarSegment *ToolbarItem::segment(qint64 index) const
{
    return index >= 0 && index < qint64(segments.size()) ? segments[size_t(index)].get() : nullptr;
}

void ToolbarItem::setLabel(QString label, qint64 index)
{
    if (auto *s = segment(index))
        s->label = std::move(label);
}

void ToolbarItem::setToolTip(QString toolTip, qint64 index)
{
    if (auto *s = segment(index))
        s->toolTip = std::move(toolTip);
}

void ToolbarItem::setImage(QString imagePath, qint64 index)
{
    if (auto *s = segment(index))
        s->imagePath = std::move(imagePath);
}

void ToolbarItem::setTag(qint64 tag, qint64 index)
{
    if (auto *s = segment(index))
        s->tag = tag;
}

void ToolbarItem::setAction(QVObjC::SEL action, qint64 index)
{
    if (auto *s = segment(index))
        s->action = std::move(action);
}

void ToolbarItem::setTarget(QVObjC::id target, qint64 index)
{
    if (auto *s = segment(index))
        s->target = target;
}

void ToolbarItem::setMenu(QVObjC::MenuRef menu, qint64 index)
{
    if (auto *s = segment(index))
        s->menu = std::move(menu);
}

// Viewers

MessageViewer::MessageViewer(QVObjC::Class *isa)
    : Object(isa), toolbar_(std::make_shared<QVObjC::Object>(QVObjC::NSClassFromString(QStringLiteral("NSToolbar"))))
{
}

QStringList MessageViewer::toolbarAllowedItemIdentifiers(QVObjC::id)
{
    return {kCheckMail, kToggleRead};
}

QStringList MessageViewer::toolbarDefaultItemIdentifiers(QVObjC::id)
{
    return {kCheckMail, kToggleRead};
}

QVObjC::id MessageViewer::toolbarItem(QVObjC::id, QString identifier, bool)
{
    if (identifier != kCheckMail && identifier != kToggleRead)
        return nullptr;
    auto item = std::make_shared<ToolbarItem>(QVObjC::NSClassFromString(QStringLiteral("NSToolbarItem")));
    item->initWithItemIdentifier(identifier);
    ToolbarSegment &segment = *item->segments.front();
    const bool check = identifier == kCheckMail;
    segment.label = check ? QCoreApplication::translate("MessageViewer", "Get Mail")
                          : QCoreApplication::translate("MessageViewer", "Read/Unread");
    segment.toolTip = check ? QCoreApplication::translate("MessageViewer", "Look for new mail in every folder")
                            : QCoreApplication::translate("MessageViewer", "Mark the selected messages read or unread");
    segment.imagePath = check ? QStringLiteral(":/mailhost/get-mail.svg") : QStringLiteral(":/mailhost/read.svg");
    segment.action = check ? QStringLiteral("checkMail:") : QStringLiteral("toggleRead:");
    segment.target = shared_from_this();
    return item;
}

void MessageViewer::dealloc()
{
    closed_ = true;
    items_.clear();
    changed = nullptr;
    if (auto *host = MailHost::current())
        host->forgetViewer(this);
}

QVObjC::ObjectList MessageViewer::selectedMessages() const
{
    QVObjC::ObjectList messages;
    for (const auto &weak : selectedMessages_) {
        if (auto message = weak.lock())
            messages.append(message);
    }
    return messages;
}

bool MessageViewer::transferMessages(QVObjC::ObjectList messages, QVObjC::id mailbox, bool deleteOriginals, bool, bool,
                                     bool)
{
    auto *host = MailHost::current();
    return host && host->transferMessages(messages, mailbox, deleteOriginals) == messages.size();
}

void MessageViewer::checkMail(QVObjC::id)
{
    if (auto *host = MailHost::current())
        host->rescan(nullptr);
}

void MessageViewer::toggleRead(QVObjC::id)
{
    auto *host = MailHost::current();
    const QVObjC::ObjectList messages = selectedMessages();
    if (!host || messages.isEmpty())
        return;
    // Like the mail programs people know: all read unless all are read.
    bool allRead = true;
    for (const auto &object : messages)
        allRead = allRead && QVObjC::cast<MFMessage>(object)->isRead();
    for (const auto &object : messages)
        host->setRead(QVObjC::cast<MFMessage>(object), !allRead);
}

bool MessageViewer::validateToolbarItem(QVObjC::id item)
{
    const auto segment = QVObjC::cast<ToolbarSegment>(item);
    if (segment && segment->action == QLatin1String("toggleRead:"))
        return !selectedMessages().isEmpty();
    return true;
}

void MessageViewer::buildToolbar()
{
    items_.clear();
    const QVObjC::id self = shared_from_this();
    const QStringList identifiers =
        QVObjC::send<QStringList>(self, QStringLiteral("toolbarDefaultItemIdentifiers:"), toolbar_);
    const QStringList allowed =
        QVObjC::send<QStringList>(self, QStringLiteral("toolbarAllowedItemIdentifiers:"), toolbar_);
    for (const QString &identifier : identifiers) {
        if (!allowed.contains(identifier))
            continue;
        const QVObjC::id item =
            QVObjC::send<QVObjC::id>(self, QStringLiteral("toolbar:itemForItemIdentifier:willBeInsertedIntoToolbar:"),
                                     toolbar_, identifier, true);
        if (auto toolbarItem = QVObjC::cast<ToolbarItem>(item))
            items_.push_back(toolbarItem);
        else if (item)
            qCWarning(lcMailHost) << "Toolbar item" << identifier << "is not a toolbar item";
    }
    validateToolbar();
}

void MessageViewer::validateToolbar()
{
    for (const auto &item : items_) {
        for (const auto &segment : item->segments)
            segment->validate();
    }
    if (changed)
        changed();
}

void MessageViewer::setSelection(const std::shared_ptr<MFMailbox> &mailbox, const QVObjC::ObjectList &messages)
{
    selectedMailbox_ = mailbox;
    selectedMessages_.clear();
    for (const auto &object : messages) {
        if (auto message = QVObjC::cast<MFMessage>(object))
            selectedMessages_.push_back(message);
    }
    validateToolbar();
}

// Registration

namespace {

using namespace QVObjC;

template <typename T> void addAlloc(Class *cls)
{
    addClassMethod<id>(cls, QStringLiteral("alloc"),
                       std::function<id(Class *)>([](Class *c) -> id { return std::make_shared<T>(c); }));
}

void registerClasses()
{
    Class *object = objc_registerClass(QStringLiteral("NSObject"), nullptr);
    addMethod<QString>(
        object, QStringLiteral("description"), std::function<QString(const id &)>([](const id &self) {
            return QStringLiteral("<%1: 0x%2>").arg(self->isa()->name()).arg(quintptr(self.get()), 0, 16);
        }));
    addClassMethod<void>(object, QStringLiteral("initialize"), std::function<void(Class *)>([](Class *) {}));

    Class *application = objc_registerClass(QStringLiteral("NSApplication"), object);
    addClassMethod<id>(application, QStringLiteral("sharedApplication"),
                       std::function<id(Class *)>([](Class *) { return MailHost::application(); }));

    Class *bundle = objc_registerClass(QStringLiteral("MVMailBundle"), object);
    addClassMethod<void>(bundle, QStringLiteral("registerBundle"), std::function<void(Class *)>([](Class *) {
                             qCInfo(lcMailHost) << "A bundle registered itself";
                         }));

    Class *account = objc_registerClass(QStringLiteral("MFAccount"), object);
    addMemberMethod(account, QStringLiteral("allMailboxes"), &MFMailAccount::allMailboxes);
    addMemberMethod(account, QStringLiteral("rootMailbox"), &MFMailAccount::rootMailbox);
    addMemberMethod(account, QStringLiteral("description"), &MFMailAccount::description);
    Class *mailAccount = objc_registerClass(QStringLiteral("MFMailAccount"), account);
    addMemberMethod(mailAccount, QStringLiteral("createMailboxWithParent:name:"),
                    &MFMailAccount::createMailboxWithParent);
    addClassMethod<ObjectList>(mailAccount, QStringLiteral("inboxMailboxes"),
                               std::function<ObjectList(Class *)>([](Class *) {
                                   auto *host = MailHost::current();
                                   return host ? host->inboxMailboxes() : ObjectList();
                               }));

    Class *mailbox = objc_registerClass(QStringLiteral("MFMailbox"), object);
    addMemberMethod(mailbox, QStringLiteral("uuid"), &MFMailbox::uuid);
    addMemberMethod(mailbox, QStringLiteral("accountRelativePath"), &MFMailbox::accountRelativePath);
    addMemberMethod(mailbox, QStringLiteral("account"), &MFMailbox::account);
    addMemberMethod(mailbox, QStringLiteral("description"), &MFMailbox::description);

    Class *message = objc_registerClass(QStringLiteral("MFMessage"), object);
    addMemberMethod(message, QStringLiteral("mailbox"), &MFMessage::mailbox);
    addMemberMethod(message, QStringLiteral("isRead"), &MFMessage::isRead);
    addMemberMethod(message, QStringLiteral("headerData"), &MFMessage::headerData);
    addMemberMethod(message, QStringLiteral("bodyData"), &MFMessage::bodyData);
    addMemberMethod(message, QStringLiteral("bodyDataWithLimit:"), &MFMessage::bodyDataWithLimit);
    addMemberMethod(message, QStringLiteral("messageID"), &MFMessage::messageID);
    addMemberMethod(message, QStringLiteral("sender"), &MFMessage::sender);
    addMemberMethod(message, QStringLiteral("subject"), &MFMessage::subject);
    addMemberMethod(message, QStringLiteral("dateReceived"), &MFMessage::dateReceived);
    addMemberMethod(message, QStringLiteral("gmailLabels"), &MFMessage::gmailLabels);
    addMemberMethod(message, QStringLiteral("description"), &MFMessage::description);

    Class *library = objc_registerClass(QStringLiteral("MFLibrary"), object);
    addClassMethod<id>(library, QStringLiteral("messageWithMessageID:"),
                       std::function<id(Class *, QString)>([](Class *, QString messageID) -> id {
                           auto *host = MailHost::current();
                           return host ? host->messageWithMessageID(messageID) : nullptr;
                       }));

    Class *store = objc_registerClass(QStringLiteral("MFMessageStore"), object);
    addMemberMethod(store, QStringLiteral("copyOfAllMessages"), &MFMessageStore::copyOfAllMessages);
    addMemberMethod(store, QStringLiteral("deleteMessages:moveToTrash:"), &MFMessageStore::deleteMessages);
    addClassMethod<qint64>(store, QStringLiteral("copyMessages:toMailbox:shouldDelete:"),
                           std::function<qint64(Class *, ObjectList, id, bool)>(
                               [](Class *, ObjectList messages, id target, bool shouldDelete) -> qint64 {
                                   auto *host = MailHost::current();
                                   return host ? host->transferMessages(messages, target, shouldDelete) : 0;
                               }));
    addClassMethod<id>(store, QStringLiteral("currentlyAvailableStoreForMailbox:"),
                       std::function<id(Class *, id)>([](Class *, id object) -> id {
                           const auto box = cast<MFMailbox>(object);
                           return box ? box->store() : nullptr;
                       }));

    objc_registerClass(QStringLiteral("NSToolbar"), object);
    Class *segment = objc_registerClass(QStringLiteral("ToolbarSegment"), object);
    addMemberMethod(segment, QStringLiteral("action"), &ToolbarSegment::actionName);
    addMemberMethod(segment, QStringLiteral("tag"), &ToolbarSegment::tagValue);
    addMemberMethod(segment, QStringLiteral("setLabel:"), &ToolbarSegment::setLabel);
    addMemberMethod(segment, QStringLiteral("setToolTip:"), &ToolbarSegment::setToolTip);
    addMemberMethod(segment, QStringLiteral("setImage:"), &ToolbarSegment::setImage);

    Class *item = objc_registerClass(QStringLiteral("NSToolbarItem"), object);
    addAlloc<ToolbarItem>(item);
    addMemberMethod(item, QStringLiteral("initWithItemIdentifier:"), &ToolbarItem::initWithItemIdentifier);
    Class *segmented = objc_registerClass(QStringLiteral("SegmentedToolbarItem"), item);
    addAlloc<ToolbarItem>(segmented);
    addMemberMethod(segmented, QStringLiteral("setSegmentCount:"), &ToolbarItem::setSegmentCount);
    addMemberMethod(segmented, QStringLiteral("setLabel:forSegment:"), &ToolbarItem::setLabel);
    addMemberMethod(segmented, QStringLiteral("setToolTip:forSegment:"), &ToolbarItem::setToolTip);
    addMemberMethod(segmented, QStringLiteral("setImage:forSegment:"), &ToolbarItem::setImage);
    addMemberMethod(segmented, QStringLiteral("setTag:forSegment:"), &ToolbarItem::setTag);
    addMemberMethod(segmented, QStringLiteral("setAction:forSegment:"), &ToolbarItem::setAction);
    addMemberMethod(segmented, QStringLiteral("setTarget:forSegment:"), &ToolbarItem::setTarget);
    addMemberMethod(segmented, QStringLiteral("setMenu:forSegment:"), &ToolbarItem::setMenu);

    Class *viewer = objc_registerClass(QStringLiteral("MessageViewer"), object);
    addMemberMethod(viewer, QStringLiteral("toolbarAllowedItemIdentifiers:"),
                    &MessageViewer::toolbarAllowedItemIdentifiers);
    addMemberMethod(viewer, QStringLiteral("toolbarDefaultItemIdentifiers:"),
                    &MessageViewer::toolbarDefaultItemIdentifiers);
    addMemberMethod(viewer, QStringLiteral("toolbar:itemForItemIdentifier:willBeInsertedIntoToolbar:"),
                    &MessageViewer::toolbarItem);
    addMemberMethod(viewer, QStringLiteral("dealloc"), &MessageViewer::dealloc);
    addMemberMethod(viewer, QStringLiteral("selectedMessages"), &MessageViewer::selectedMessages);
    addMemberMethod(viewer, QStringLiteral("selectedMailbox"), &MessageViewer::selectedMailbox);
    addMemberMethod(viewer,
                    QStringLiteral("transferMessages:toMailbox:deleteOriginals:allowUndo:isDeleteOperation:"
                                   "isArchiveOperation:"),
                    &MessageViewer::transferMessages);
    addMemberMethod(viewer, QStringLiteral("checkMail:"), &MessageViewer::checkMail);
    addMemberMethod(viewer, QStringLiteral("toggleRead:"), &MessageViewer::toggleRead);
    addMemberMethod(viewer, QStringLiteral("validateToolbarItem:"), &MessageViewer::validateToolbarItem);
    addClassMethod<ObjectList>(viewer, QStringLiteral("allMessageViewers"),
                               std::function<ObjectList(Class *)>([](Class *) {
                                   ObjectList viewers;
                                   if (auto *host = MailHost::current())
                                       viewers = ObjectList(host->viewers().begin(), host->viewers().end());
                                   return viewers;
                               }));
    addClassMethod<ObjectList>(viewer, QStringLiteral("allSingleMessageViewers"),
                               std::function<ObjectList(Class *)>([](Class *) { return ObjectList(); }));
    addClassMethod<id>(viewer, QStringLiteral("newDefaultMessageViewer"), std::function<id(Class *)>([](Class *) -> id {
                           auto *host = MailHost::current();
                           return host ? host->newViewer() : nullptr;
                       }));
}

}  // namespace

void registerHostClasses()
{
    static std::once_flag once;
    std::call_once(once, [] {
        qRegisterMetaType<QVObjC::ObjectList>();
        registerClasses();
        takeClassesAwaitingLoad();  // the host's own classes have no load stage
    });
}

}  // namespace QVMailHost
