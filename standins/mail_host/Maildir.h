// Maildir++ folders on disk: the account's root is INBOX, mailbox "A/B" is
// the folder ".A.B" beside it, each with cur/, new/ and tmp/. A message file
// is "<unique>" in new/ and "<unique>:2,<flags>" in cur/; it is read once
// its flags hold "S".
#pragma once

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QString>
#include <QStringList>

namespace Maildir {

inline constexpr char kInboxPath[] = "INBOX";

// The folder of an account-relative path ("INBOX", "Quorvane", "A/B"); an
// empty path is the root (the same folder as INBOX).
QString folderPath(const QString &root, const QString &accountRelativePath);

// Whether `name` can be a mailbox name: not empty, no "/" or "." (the
// separator on disk), no control characters.
bool isValidMailboxName(const QString &name);

// INBOX and every folder that has cur/ and new/ (none of them a link), as
// account-relative paths.
QStringList mailboxPaths(const QString &root);

// Whether the folder, its cur/ and its new/ are folders themselves, not
// links to folders.
bool isMailboxFolder(const QString &folder);

// Creates the folder with cur/, new/ and tmp/ (and the maildirfolder marker
// for subfolders). True when it exists afterwards; false when any of them
// is a link.
bool createMailbox(const QString &root, const QString &accountRelativePath);

struct Entry {
    QString path;  // the file
    QString uniqueName;  // the name up to ":"
    QString flags;  // after ":2,"; empty for new/
    bool inCur = false;
};

// What else lies in new/ and cur/: never opened, only reported.
struct Skipped {
    QString path;  // for the log; bytes that are not UTF-8 shown as %XX
    QString reason;
};

// The message files of a folder (its new/, its cur/ or both), in the file
// system's order: regular files
// that are not hidden, seen without following links. Links, devices, pipes, folders and names that are
// not UTF-8 go to `skipped` when given.
QList<Entry> messageFiles(const QString &folder, QList<Skipped> *skipped = nullptr, bool readNew = true,
                          bool readCur = true);

// Opens a message file for reading when it is a regular file, never through
// a link and never blocking on a pipe; false (with *error) otherwise.
bool openRegularFile(const QString &path, QFile &file, QString *error = nullptr);

QString uniqueName(const QString &fileName);
QString flags(const QString &fileName);
bool isSeen(const QString &fileName);

// Moves the file into the folder's cur/, keeping its unique name and flags.
// Never replaces an existing file. On failure *error says why.
bool moveIntoFolder(const QString &file, const QString &folder, QString *newPath, QString *error);

// Renames the file in place with the seen flag set or cleared (a file in
// new/ moves to cur/).
bool setSeen(const QString &file, bool seen, QString *newPath, QString *error);

// Writes a new message the Maildir way: tmp/ first, then into new/ (or cur/
// with flags when given). Gives the new file or an empty string.
QString deliver(const QString &folder, const QByteArray &message, const QString &flags = QString());

}  // namespace Maildir
