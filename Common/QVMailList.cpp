#include "QVMailList.h"

#include "PropertyList.h"
#include "QVBundleExtensions.h"
#include "QVListFile.h"
#include "QVLogger.h"

#include <QAbstractEventDispatcher>
#include <QThread>

#include <algorithm>
#include <functional>

namespace {

// Text a list can neither match sensibly nor store: blank, holding control
// characters, or not representable in the file.
bool isStorable(const QString &entry)
{
    if (entry.trimmed().isEmpty())
        return false;
    if (std::any_of(entry.cbegin(), entry.cend(), [](QChar c) { return c.category() == QChar::Other_Control; }))
        return false;
    return PropertyList::toXml(entry).has_value();
}

}  // namespace

QVMailList::QVMailList(const QString &name, QObject *parent)
    : QObject(parent),
      name_(name),
      filePath_(QVNSBundleExtensions::applicationSupportDirectory() + u'/' + name + QStringLiteral(".plist"))
{
    saveTimer_.setSingleShot(true);
    saveTimer_.setInterval(kSaveDelay);
    connect(&saveTimer_, &QTimer::timeout, this, &QVMailList::saveToFile);
    loadFromFile();
}

QVMailList::~QVMailList()
{
    if (unsaved_)
        saveToFile();
}

QString QVMailList::itemAtIndex(qsizetype index) const
{
    return index >= 0 && index < items_.size() ? items_.at(index) : QString();
}

void QVMailList::addItem(const QString &item)
{
    const QString lowered = item.toLower();
    if (!isStorable(lowered)) {
        QVLogCore(QStringLiteral("Refused to add an empty, blank or unstorable entry to %1."), name_);
        return;
    }
    const qsizetype before = items_.size();
    append(lowered);
    if (items_.size() != before)
        scheduleSave();
    emit VQMailListDidChange();
}

void QVMailList::removeItem(const QString &item)
{
    const QString lowered = item.toLower();
    if (members_.remove(lowered)) {
        items_.removeOne(lowered);
        scheduleSave();
    }
    emit VQMailListDidChange();
}

void QVMailList::removeItemAtIndexes(const QList<qsizetype> &indexes)
{
    QList<qsizetype> sorted = indexes;
    std::sort(sorted.begin(), sorted.end(), std::greater<>());
    sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
    const qsizetype before = items_.size();
    for (qsizetype index : sorted) {
        if (index < 0 || index >= items_.size()) {
            QVLogCore(QStringLiteral("Ignored removing entry %1 of %2, which has %3."), index, name_, items_.size());
            continue;
        }
        members_.remove(items_.takeAt(index));
    }
    if (items_.size() != before)
        scheduleSave();
    emit VQMailListDidChange();
}

bool QVMailList::containsItem(const QString &item) const
{
    const QString lowered = item.toLower();
    if (lowered.trimmed().isEmpty())
        return false;
    if (members_.contains(lowered))
        return true;
    // "*@domain" entries, which the add dialog accepts, stand for the domain.
    const QString domain = lowered.sliced(lowered.lastIndexOf(u'@') + 1);
    return !domain.isEmpty() && members_.contains(QStringLiteral("*@") + domain);
}

bool QVMailList::append(const QString &lowered)
{
    if (!isStorable(lowered))
        return false;
    if (!members_.contains(lowered)) {
        members_.insert(lowered);
        items_.append(lowered);
    }
    return true;
}

void QVMailList::loadFromFile()
{
    // The file's entries replace the list's, unwritten changes included.
    saveTimer_.stop();
    unsaved_ = false;
    items_.clear();
    members_.clear();
    const QVListFile::Contents contents = QVListFile::read(filePath_);
    if (contents.status == QVListFile::Contents::Unusable) {
        QVListFile::keepAside(filePath_, contents.problem);
        return;
    }
    qsizetype refused = 0;
    for (const QVariant &element : contents.items) {
        if (element.typeId() != QMetaType::QString || !append(element.toString().toLower()))
            ++refused;
    }
    // Keep the original before the next save drops what could not be loaded.
    QString problem = contents.problem;
    if (refused > 0)
        problem += (problem.isEmpty() ? QString() : QStringLiteral("; "))
            + QStringLiteral("%1 entries are not addresses or domains").arg(refused);
    if (!problem.isEmpty() && QVListFile::keepAside(filePath_, problem, items_.size()))
        saveToFile();
}

void QVMailList::scheduleSave()
{
    unsaved_ = true;
    if (!QAbstractEventDispatcher::instance(thread()) || thread() != QThread::currentThread()) {
        saveToFile();
        return;
    }
    // Not restarted by later changes: a steady flood still writes every
    // kSaveDelay.
    if (!saveTimer_.isActive())
        saveTimer_.start();
}

void QVMailList::saveToFile() const
{
    saveTimer_.stop();
    unsaved_ = false;
    QVListFile::write(filePath_, QVariantList(items_.cbegin(), items_.cend()));
}
