// Reading and writing the property-list files that hold the user's lists.
#pragma once

#include <QString>
#include <QVariantList>

namespace QVListFile {

struct Contents {
    enum Status { Missing, Loaded, Unusable };
    Status status = Missing;
    QVariantList items;
    QString problem;  // why the file is unusable
};

// The array stored at `path`. A file that cannot be read, is not a property
// list or holds no array is Unusable.
Contents read(const QString &path);

// Renames an unusable or damaged file to "<path>.corrupt" (or
// "<path>.corrupt-2" ... when taken), so nothing of the user's is lost, and
// logs why. False when it could not be moved.
bool keepAside(const QString &path, const QString &problem);

// Writes the array atomically (a temporary file, then a rename); a failure is
// logged and leaves the old file as it was.
bool write(const QString &path, const QVariantList &items);

}  // namespace QVListFile
