#include "QVStatusBar.h"

#include <QSystemTrayIcon>

namespace {

class TrayItem final : public QVStatusItem {
public:
    TrayItem()
    {
        QObject::connect(&icon_, &QSystemTrayIcon::activated, [this](QSystemTrayIcon::ActivationReason reason) {
            if (reason == QSystemTrayIcon::Trigger && handler_)
                handler_();
        });
    }

    // The tray shows an item only once it has an image.
    void setImage(const QIcon &image) override
    {
        icon_.setIcon(image);
        icon_.setVisible(!image.isNull());
    }
    void setMenu(QMenu *menu) override { icon_.setContextMenu(menu); }
    void setActivationHandler(std::function<void()> handler) override { handler_ = std::move(handler); }

private:
    QSystemTrayIcon icon_;
    std::function<void()> handler_;
};

class SystemTray final : public QVStatusBar {
public:
    bool isAvailable() const override { return QSystemTrayIcon::isSystemTrayAvailable(); }
    std::unique_ptr<QVStatusItem> statusItem() override { return std::make_unique<TrayItem>(); }
};

}  // namespace

QVStatusBar &QVStatusBar::systemStatusBar()
{
    static SystemTray bar;
    return bar;
}
