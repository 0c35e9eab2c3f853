// A named, ordered set of lower-cased addresses and domains ("BlackList",
// "WhiteList"), kept in <name>.plist in the product's data folder and
// written after every change.
#pragma once

#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QUrl>

class QVMailList : public QObject {
    Q_OBJECT

public:
    // Loads the list's file. A file that cannot be used is kept aside and
    // the list starts empty.
    explicit QVMailList(const QString &name, QObject *parent = nullptr);

    const QString &name() const { return name_; }
    qsizetype numberOfItems() const { return items_.size(); }
    // A null string when the index is out of range.
    QString itemAtIndex(qsizetype index) const;

    // Appends the lower-cased entry unless present, then saves and announces
    // the change, also when nothing changed. Empty, blank and unstorable
    // entries are refused with a log line.
    void addItem(const QString &item);
    // Removes the entry equal to the lower-cased text, if there is one, then
    // saves and announces the change.
    void removeItem(const QString &item);
    // Removes the entries at those indexes (others are ignored), then saves
    // and announces the change.
    void removeItemAtIndexes(const QList<qsizetype> &indexes);

    // Whether the lower-cased text is an entry; an address or a domain also
    // matches the wildcard entry "*@<its domain>". Never true for blank text.
    bool containsItem(const QString &item) const;

    // The storage steps, which the changes and the constructor run.
    // Loading replaces the entries with the file's; an unusable file is kept
    // aside. Saving writes the entries in order; a failure is logged.
    void loadFromFile();
    void saveToFile() const;
    QUrl fileURL() const { return QUrl::fromLocalFile(filePath_); }

signals:
    void VQMailListDidChange();

private:
    // Appends a lower-cased entry; false when it is not one a list can hold.
    bool append(const QString &lowered);

    const QString name_;
    const QString filePath_;
    QStringList items_;
    QSet<QString> members_;
};
