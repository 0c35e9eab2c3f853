// Reading and writing the property-list files that hold the user's lists.
#pragma once

#include <QString>
#include <QVariantList>

namespace QVListFile {

struct Contents {
    // Damaged: not a whole property list, but elements of its array could
    // still be read (items holds them, in file order).
    enum Status { Missing, Loaded, Damaged, Unusable };
    Status status = Missing;
    QVariantList items;
    QString problem;  // why the file is damaged or unusable
};

// The array stored at `path`. A property list damaged by a bad byte, a cut
// tail or a malformed element is Damaged, with the strings and dictionaries
// of its array that are still whole. A file that cannot be read, holds no
// array, or of which nothing can be read is Unusable.
Contents read(const QString &path);

// A list file kept aside since the user was last told.
struct SetAside {
    QString path;
    QString aside;
    qsizetype kept = 0;  // entries of it the list still holds
};

// Renames an unusable or damaged file to "<path>.corrupt" (or
// "<path>.corrupt-2" ... when taken), so nothing of the user's is lost, logs
// why, and remembers it for takeSetAsideFiles (`kept`: how many of its
// entries the list still holds). False when it could not be moved.
bool keepAside(const QString &path, const QString &problem, qsizetype kept = 0);

// The files kept aside since the last call, oldest first; each is handed out
// once, so the user is told once. Main thread.
QList<SetAside> takeSetAsideFiles();

// Writes the array atomically (a temporary file, then a rename); a failure is
// logged and leaves the old file as it was.
bool write(const QString &path, const QVariantList &items);

}  // namespace QVListFile
