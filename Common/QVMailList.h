// A named, ordered set of lower-cased addresses and domains ("BlackList",
// "WhiteList"), kept in <name>.plist in the product's data folder.
//
// Every add and remove call is announced, also one that changes nothing.
// Changes are written coalesced: on a thread with an event loop at most one
// write per 100 ms, whatever the number of changes in between (a flood of
// additions must not rewrite the whole file each time); without one, at
// once. A call that changes nothing writes nothing, and a list saves what is
// still unwritten when it is destroyed.
#pragma once

#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QUrl>

#include <chrono>

class QVMailList : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(QVMailList)

public:
    static constexpr std::chrono::milliseconds kSaveDelay{100};

    // Loads the list's file. A file that cannot be used is kept aside and
    // the list starts empty.
    explicit QVMailList(const QString &name, QObject *parent = nullptr);
    ~QVMailList() override;

    const QString &name() const { return name_; }
    qsizetype numberOfItems() const { return items_.size(); }
    // A null string when the index is out of range.
    QString itemAtIndex(qsizetype index) const;

    // Appends the lower-cased entry unless present, then announces the
    // change. Empty, blank and unstorable entries are refused with a log
    // line.
    void addItem(const QString &item);
    // Removes the entry equal to the lower-cased text, if there is one, then
    // announces the change.
    void removeItem(const QString &item);
    // Removes the entries at those indexes (others are ignored), then
    // announces the change.
    void removeItemAtIndexes(const QList<qsizetype> &indexes);

    // Whether the lower-cased text is an entry; an address or a domain also
    // matches the wildcard entry "*@<its domain>". Never true for blank text.
    bool containsItem(const QString &item) const;

    // The storage steps, which the changes and the constructor run.
    // Loading replaces the entries with the file's; an unusable file is kept
    // aside. Saving writes the entries in order at once (also what waits to
    // be written); a failure is logged.
    void loadFromFile();
    void saveToFile() const;
    QUrl fileURL() const { return QUrl::fromLocalFile(filePath_); }
    // Whether a change waits to be written.
    bool hasUnsavedChanges() const { return unsaved_; }

signals:
    // The name the list page and other observers know the announcement by
    // ("VQ", not "QV": kept as the plug-in exports it).
    void VQMailListDidChange();

private:
    // Appends a lower-cased entry; false when it is not one a list can hold.
    bool append(const QString &lowered);
    // Writes now, or within kSaveDelay on a thread that runs an event loop.
    void scheduleSave();

    const QString name_;
    const QString filePath_;
    QStringList items_;
    QSet<QString> members_;
    mutable QTimer saveTimer_;
    mutable bool unsaved_ = false;
};
