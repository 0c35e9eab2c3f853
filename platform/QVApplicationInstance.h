// One running instance per session: the instance owns its bundle identifier
// as a name on the session bus and answers org.freedesktop.Application's
// Activate at the object path made from that name
// (org.quorvane.Quorvane -> /org/quorvane/Quorvane), so that a second start
// can ask it to show itself and leave.
#pragma once

#include <QObject>
#include <QString>
#include <QVariantMap>

class QVApplicationInstance final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(QVApplicationInstance)

public:
    explicit QVApplicationInstance(QString bundleIdentifier, QObject *parent = nullptr);
    ~QVApplicationInstance() override;

    // Exports the Activate object, then claims the name; false when another
    // process owns it or the bus is not reachable.
    bool claim();
    // Asks the name's owner to activate; false when nobody answered.
    bool activateRunningInstance() const;

    static QString objectPathForBundleIdentifier(const QString &bundleIdentifier);

signals:
    void activationRequested();

private:
    friend class QVApplicationAdaptor;

    const QString bundleIdentifier_;
    bool claimed_ = false;
};
