#include "QVListFile.h"

#include "PropertyList.h"
#include "QVLogger.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>

namespace QVListFile {
namespace {

// Far beyond any real list; larger files are not read into memory.
constexpr qint64 maximumFileSize = 64 * 1024 * 1024;
constexpr int maximumAsideCopies = 1000;

QList<SetAside> &setAsideFiles()
{
    static QList<SetAside> files;
    return files;
}

// The array's elements that are still whole in a file the parser refused:
// each <string> and each <dict> (the lists hold no other kind) is read on its
// own, in file order. Bytes that are not UTF-8 spoil only the element they
// sit in.
QVariantList salvage(const QByteArray &bytes)
{
    static const QRegularExpression element(QStringLiteral("<dict>(?:(?!<dict>).)*?</dict>|<string>[^<]*</string>"),
                                            QRegularExpression::DotMatchesEverythingOption);
    const QString text = QString::fromUtf8(bytes);
    QVariantList items;
    for (auto it = element.globalMatch(text); it.hasNext();) {
        const QString chunk = it.next().captured();
        if (chunk.contains(QChar::ReplacementCharacter))
            continue;
        std::optional<QVariant> value = PropertyList::fromXml(QByteArray("<plist>" + chunk.toUtf8() + "</plist>"));
        if (value)
            items.append(std::move(*value));
    }
    return items;
}

}  // namespace

Contents read(const QString &path)
{
    Contents contents;
    const QFileInfo item(path);
    if (!item.exists())
        return contents;
    contents.status = Contents::Unusable;
    // A folder, a FIFO or a device: opening could block, reading makes no sense.
    if (!item.isFile()) {
        contents.problem = QStringLiteral("not a regular file");
        return contents;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        contents.problem = file.errorString();
        return contents;
    }
    if (file.size() > maximumFileSize) {
        contents.problem = QStringLiteral("the file is too large");
        return contents;
    }
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        contents.problem = file.errorString();
        return contents;
    }
    std::optional<QVariant> value = PropertyList::fromXml(bytes, &contents.problem);
    if (!value) {
        contents.items = salvage(bytes);
        if (!contents.items.isEmpty())
            contents.status = Contents::Damaged;
        return contents;
    }
    if (value->typeId() != QMetaType::QVariantList) {
        contents.problem = QStringLiteral("the file holds no array");
        return contents;
    }
    contents.status = Contents::Loaded;
    contents.items = value->toList();
    return contents;
}

bool keepAside(const QString &path, const QString &problem, qsizetype kept)
{
    for (int copy = 1; copy <= maximumAsideCopies; ++copy) {
        const QString aside = path + QStringLiteral(".corrupt") + (copy > 1 ? u'-' + QString::number(copy) : QString());
        if (QFile::exists(aside))
            continue;
        if (!QFile::rename(path, aside))
            break;
        QVLogCore(QStringLiteral("The list file %1 could not be used (%2); it was kept as %3."), path, problem, aside);
        setAsideFiles().append({path, aside, kept});
        return true;
    }
    QVLogCore(QStringLiteral("The list file %1 could not be used (%2) nor moved aside."), path, problem);
    return false;
}

QList<SetAside> takeSetAsideFiles()
{
    return std::exchange(setAsideFiles(), {});
}

bool write(const QString &path, const QVariantList &items)
{
    std::optional<QByteArray> xml = PropertyList::toXml(items);
    if (!xml) {
        QVLogCore(QStringLiteral("The list file %1 was not written: an entry cannot be stored."), path);
        return false;
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(*xml) != xml->size() || !file.commit()) {
        QVLogCore(QStringLiteral("The list file %1 was not written: %2"), path, file.errorString());
        return false;
    }
    return true;
}

}  // namespace QVListFile
