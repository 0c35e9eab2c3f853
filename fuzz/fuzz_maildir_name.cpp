// Maildir file and folder names come from whoever writes into the folders:
// any name must split into a unique part and flags that lie inside it, and
// a name accepted for a mailbox must give a folder right under the root.
#include <cstddef>
#include <cstdint>

#include "Maildir.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QString name =
        QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const QString unique = Maildir::uniqueName(name);
    if (!name.startsWith(unique) || unique.contains(u':')) __builtin_trap();
    const QString flags = Maildir::flags(name);
    if (!name.endsWith(flags)) __builtin_trap();
    if (Maildir::isSeen(name) != flags.contains(u'S')) __builtin_trap();
    const QString root = QStringLiteral("/maildir");
    if (Maildir::isValidMailboxName(name)) {
        const QString folder = Maildir::folderPath(root, name);
        if (name.compare(QLatin1String(Maildir::kInboxPath), Qt::CaseInsensitive) != 0 &&
            folder != root + QStringLiteral("/.") + name)
            __builtin_trap();
        // One level below the root, or the root itself for INBOX.
        const QString below = folder.mid(root.size());
        if (!folder.startsWith(root) || (!below.isEmpty() && below.lastIndexOf(u'/') != 0))
            __builtin_trap();
    }
    return 0;
}
