#include "QVLanguageList.h"

#include "QVBundleExtensions.h"
#include "QVListFile.h"
#include "QVLogger.h"

#include <QLocale>
#include <QVariantList>

#include <algorithm>
#include <iterator>

#include <unicode/uloc.h>

namespace {

const QString languageCodeKey = QStringLiteral("languageCode");
const QString languageUsageKey = QStringLiteral("languageUsage");

bool isUsageType(qlonglong usage)
{
    return usage >= 0 && usage <= 2;
}

}  // namespace

QVLanguageItem::QVLanguageItem(QString languageCode, int usageType)
    : languageCode_(std::move(languageCode)), usageType_(usageType)
{
}

QVLanguageItem::QVLanguageItem(const QVariantMap &dictionary)
    : languageCode_(dictionary.value(languageCodeKey).toString()),
      usageType_(dictionary.value(languageUsageKey).toInt())
{
}

QVariantMap QVLanguageItem::dictionaryRepresentation() const
{
    if (languageCode_.isNull())
        return {};
    return {{languageCodeKey, languageCode_}, {languageUsageKey, usageType_}};
}

QVLanguageList::QVLanguageList()
    : filePath_(QVNSBundleExtensions::applicationSupportDirectory() + QStringLiteral("/LanguageList.plist"))
{
    const bool repaired = loadFromFile();
    if (items_.empty()) {
        for (const QString &code : defaultLanguageCodes())
            items_.emplace_back(code, 0);
        sort();
        return;
    }
    sort();
    if (repaired)
        saveToFile();
}

QVLanguageItem QVLanguageList::itemAtIndex(qsizetype index) const
{
    return index >= 0 && index < numberOfItems() ? items_[static_cast<std::size_t>(index)] : QVLanguageItem();
}

int QVLanguageList::usageTypeForLanguageCode(const QString &languageCode) const
{
    const auto item = std::find_if(items_.cbegin(), items_.cend(), [&](const QVLanguageItem &candidate) {
        return candidate.languageCode() == languageCode;
    });
    return item != items_.cend() ? item->usageType() : 0;
}

void QVLanguageList::setUsageType(int usageType, const QString &languageCode)
{
    const auto item = std::find_if(items_.begin(), items_.end(), [&](const QVLanguageItem &candidate) {
        return candidate.languageCode() == languageCode;
    });
    if (item == items_.end())
        return;
    // Loading refuses any other usage and would set the whole file aside.
    if (!isUsageType(usageType)) {
        QVLogCore(QStringLiteral("Refused usage type %1 for language %2."), usageType, languageCode);
        return;
    }
    item->setUsageType(usageType);
    saveToFile();
}

QStringList QVLanguageList::defaultLanguageCodes()
{
    using namespace Qt::StringLiterals;
    return {u"cs"_s, u"da"_s, u"de"_s,    u"fi"_s,    u"fr"_s,    u"hu"_s, u"it"_s, u"nl"_s,
            u"no"_s, u"pl"_s, u"pt-BR"_s, u"pt-PT"_s, u"es-ES"_s, u"sv"_s, u"tr"_s, u"vi"_s,
            u"en"_s, u"ar"_s, u"hy"_s,    u"zh-CN"_s, u"zh-TW"_s, u"ru"_s, u"am"_s, u"el"_s,
            u"he"_s, u"ko"_s, u"mn"_s,    u"syr"_s,   u"bo"_s,    u"th"_s, u"ja"_s};
}

QString QVLanguageList::displayNameForLanguageCode(const QString &languageCode)
{
    const QByteArray code = languageCode.toUtf8();
    const QByteArray displayLocale = QLocale().bcp47Name().toUtf8();
    UChar name[256];
    UErrorCode status = U_ZERO_ERROR;
    const int32_t length =
        uloc_getDisplayName(code.constData(), displayLocale.constData(), name, int32_t(std::size(name)), &status);
    // ICU makes up a name from the code itself when it knows none.
    if (code.isEmpty() || code.contains('\0') || U_FAILURE(status) || status == U_USING_DEFAULT_WARNING || length <= 0)
        return QString();
    return QString::fromUtf16(reinterpret_cast<const char16_t *>(name), length);
}

void QVLanguageList::sort()
{
    std::vector<std::pair<QString, QVLanguageItem>> keyed;
    keyed.reserve(items_.size());
    for (QVLanguageItem &item : items_) {
        QString name = displayNameForLanguageCode(item.languageCode());
        keyed.emplace_back(name.isEmpty() ? item.languageCode() : std::move(name), std::move(item));
    }
    // Plain comparison of UTF-16 code units, not a localised collation.
    std::stable_sort(keyed.begin(), keyed.end(),
                     [](const auto &left, const auto &right) { return left.first < right.first; });
    items_.clear();
    for (auto &entry : keyed)
        items_.push_back(std::move(entry.second));
}

bool QVLanguageList::loadFromFile()
{
    items_.clear();
    const QVListFile::Contents contents = QVListFile::read(filePath_);
    if (contents.status == QVListFile::Contents::Unusable) {
        QVListFile::keepAside(filePath_, contents.problem);
        return false;
    }
    qsizetype refused = 0;
    for (const QVariant &element : contents.items) {
        const QVariantMap dictionary = element.toMap();
        const QVariant code = dictionary.value(languageCodeKey);
        const QVariant usage = dictionary.value(languageUsageKey, 0);
        bool isNumber = false;
        const qlonglong usageValue = usage.toLongLong(&isNumber);
        if (element.typeId() != QMetaType::QVariantMap || code.typeId() != QMetaType::QString
            || code.toString().isEmpty() || !isNumber || !isUsageType(usageValue)) {
            ++refused;
            continue;
        }
        items_.emplace_back(code.toString(), int(usageValue));
    }
    // Keep the original before the next save drops what could not be loaded.
    QString problem = contents.problem;
    if (refused > 0)
        problem += (problem.isEmpty() ? QString() : QStringLiteral("; "))
            + QStringLiteral("%1 elements are not language choices").arg(refused);
    return !problem.isEmpty() && QVListFile::keepAside(filePath_, problem, numberOfItems());
}

void QVLanguageList::saveToFile() const
{
    QVariantList array;
    array.reserve(numberOfItems());
    for (const QVLanguageItem &item : items_)
        array.append(item.dictionaryRepresentation());
    QVListFile::write(filePath_, array);
}
