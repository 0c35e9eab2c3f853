// The "Language Filters" tab: each language of the list with its flag, its
// name in the user's locale and what happens to its messages (decided by
// the score, removed as spam, received), saved as soon as it is chosen.
#pragma once

#include "QVViewController.h"

#include <QImage>
#include <QVariant>

#include <memory>

class QTableWidget;
class QVLanguageList;

namespace Ui {
class QVLanguageListViewController;
}

class QVLanguageListViewController final : public QVViewController {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(QVLanguageListViewController)

public:
    // Column identifiers.
    static constexpr char kFlagColumn[] = "Flag";
    static constexpr char kNameColumn[] = "EnglishName";
    static constexpr char kStateColumn[] = "State";

    QVLanguageListViewController(QVLanguageList &list, QWidget *parent = nullptr);
    ~QVLanguageListViewController() override;

    QVLanguageList &list() const { return list_; }
    QTableWidget *tableView() const;

    // The table's data source: the name (or "Wrong code: <code>"), the flag
    // image or the usage type as a number, by column identifier.
    int numberOfRows() const;
    QVariant objectValueForTableColumn(const QString &identifier, int row) const;
    // Sets the row's usage type, whatever the column; the list saves itself.
    void setObjectValue(const QVariant &value, const QString &identifier, int row);

    // The image named by the code, else by its first two letters when the
    // code is longer; a null image when neither exists.
    static QImage flagImageForLanguageCode(const QString &code);

    void reloadData();

private:
    std::unique_ptr<Ui::QVLanguageListViewController> ui_;
    QVLanguageList &list_;
};
