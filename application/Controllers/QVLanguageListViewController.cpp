#include "QVLanguageListViewController.h"

#include "QVLanguageList.h"
#include "QVNSImage.h"
#include "ui_QVLanguageListViewController.h"

#include <QComboBox>
#include <QHeaderView>
#include <QStyledItemDelegate>

namespace {

enum Column { FlagColumn, NameColumn, StateColumn };

// Only the choice in each row is edited, by its own box: the flag and name
// cells draw no focus frame (the view would put one on the first row
// whenever it gets the focus).
class NoFocusFrameDelegate final : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

protected:
    void initStyleOption(QStyleOptionViewItem *option, const QModelIndex &index) const override
    {
        QStyledItemDelegate::initStyleOption(option, index);
        option->state &= ~QStyle::State_HasFocus;
    }
};

}  // namespace

QVLanguageListViewController::QVLanguageListViewController(QVLanguageList &list, QWidget *parent)
    : QVViewController(parent), ui_(std::make_unique<Ui::QVLanguageListViewController>()), list_(list)
{
    ui_->setupUi(this);
    QHeaderView *header = ui_->tableView->horizontalHeader();
    header->setSectionResizeMode(FlagColumn, QHeaderView::Fixed);
    header->setSectionResizeMode(NameColumn, QHeaderView::Stretch);
    header->setSectionResizeMode(StateColumn, QHeaderView::ResizeToContents);
    ui_->tableView->setColumnWidth(FlagColumn, 40);
    ui_->tableView->setIconSize(QSize(24, 16));
    ui_->tableView->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    ui_->tableView->verticalHeader()->setDefaultSectionSize(30);
    ui_->tableView->setItemDelegate(new NoFocusFrameDelegate(ui_->tableView));
    reloadData();
    adoptDesignSize();
}

QVLanguageListViewController::~QVLanguageListViewController() = default;

QTableWidget *QVLanguageListViewController::tableView() const
{
    return ui_->tableView;
}

int QVLanguageListViewController::numberOfRows() const
{
    return int(list_.numberOfItems());
}

QVariant QVLanguageListViewController::objectValueForTableColumn(const QString &identifier, int row) const
{
    const QVLanguageItem item = list_.itemAtIndex(row);
    if (identifier == QLatin1String(kNameColumn)) {
        const QString name = QVLanguageList::displayNameForLanguageCode(item.languageCode());
        return name.isEmpty() ? tr("Wrong code: %1").arg(item.languageCode()) : name;
    }
    if (identifier == QLatin1String(kFlagColumn))
        return flagImageForLanguageCode(item.languageCode());
    if (identifier == QLatin1String(kStateColumn))
        return item.usageType();
    return {};
}

void QVLanguageListViewController::setObjectValue(const QVariant &value, const QString &, int row)
{
    list_.setUsageType(value.toInt(), list_.itemAtIndex(row).languageCode());
}

QImage QVLanguageListViewController::flagImageForLanguageCode(const QString &code)
{
    QImage image = QVNSImage::imageNamedYosemite(code);
    if (image.isNull() && code.size() >= 3)
        image = QVNSImage::imageNamedYosemite(code.left(2));
    return image;
}

void QVLanguageListViewController::reloadData()
{
    QTableWidget *table = ui_->tableView;
    const int rows = numberOfRows();
    table->clearContents();
    table->setRowCount(rows);
    const QStringList usageTitles{tr("Decide by Score"), tr("Remove as Spam"), tr("Always Receive")};
    for (int row = 0; row < rows; ++row) {
        auto *flag = new QTableWidgetItem;
        const QImage image = objectValueForTableColumn(QLatin1String(kFlagColumn), row).value<QImage>();
        if (!image.isNull())
            flag->setIcon(QIcon(QPixmap::fromImage(image)));
        table->setItem(row, FlagColumn, flag);
        table->setItem(row, NameColumn,
                       new QTableWidgetItem(objectValueForTableColumn(QLatin1String(kNameColumn), row).toString()));

        auto *usage = new QComboBox(table);
        usage->addItems(usageTitles);
        usage->setCurrentIndex(objectValueForTableColumn(QLatin1String(kStateColumn), row).toInt());
        connect(usage, &QComboBox::activated, this,
                [this, row](int index) { setObjectValue(index, QLatin1String(kStateColumn), row); });
        table->setCellWidget(row, StateColumn, usage);
    }
}
