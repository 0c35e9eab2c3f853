// The user's choice per language: decide by the score (0), remove as spam
// (1) or receive (2). Kept in LanguageList.plist in the product's data
// folder.
#pragma once

#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <vector>

// What the user chose for a language. The values are the integers the list
// file stores and the language page shows.
enum class QVLanguageUsage : int {
    Score = 0,  // the score decides
    Remove = 1,  // spam
    Receive = 2,  // not spam
};

class QVLanguageItem {
public:
    explicit QVLanguageItem(QString languageCode = QString(), int usageType = 0);
    // {"languageCode": string, "languageUsage": integer}; usage 0 when absent.
    explicit QVLanguageItem(const QVariantMap &dictionary);

    // Empty when the item has no code.
    QVariantMap dictionaryRepresentation() const;

    const QString &languageCode() const { return languageCode_; }
    void setLanguageCode(const QString &languageCode) { languageCode_ = languageCode; }
    int usageType() const { return usageType_; }
    void setUsageType(int usageType) { usageType_ = usageType; }

private:
    QString languageCode_;
    int usageType_ = 0;
};

class QVLanguageList {
public:
    // Loads the file, or takes the 31 default codes with usage 0 when it
    // holds nothing usable (an unusable file is kept aside), then sorts by
    // display name. The defaults are not written until a usage changes.
    QVLanguageList();
    QVLanguageList(const QVLanguageList &) = delete;
    QVLanguageList &operator=(const QVLanguageList &) = delete;

    qsizetype numberOfItems() const { return static_cast<qsizetype>(items_.size()); }
    // An item without code when the index is out of range.
    QVLanguageItem itemAtIndex(qsizetype index) const;

    // The usage of the first item whose code is exactly `languageCode`
    // (case-sensitive); 0 when there is none.
    int usageTypeForLanguageCode(const QString &languageCode) const;
    // Sets the usage of the first item with that code and saves the list;
    // nothing happens for a code not in the list, nor for a usage other
    // than 0, 1 or 2 (refused with a log line).
    void setUsageType(int usageType, const QString &languageCode);

    static QStringList defaultLanguageCodes();

    // The current locale's name for a code taken as a locale identifier
    // ("pt-BR" -> "Portuguese (Brazil)"); empty when the locale has none.
    static QString displayNameForLanguageCode(const QString &languageCode);

private:
    // True when a damaged file was kept aside and should be written anew.
    bool loadFromFile();
    void saveToFile() const;
    void sort();

    const QString filePath_;
    std::vector<QVLanguageItem> items_;
};
