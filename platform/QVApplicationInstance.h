// One running instance per session: the instance owns its bundle identifier
// as a name on the session bus and answers org.freedesktop.Application's
// Activate at the object path made from that name
// (org.quorvane.Quorvane -> /org/quorvane/Quorvane), so that a second start
// can ask it to show itself and leave.
//
// Whoever sees the name may send requests at once, so a program claims it
// only once it listens to everything it serves.
#pragma once

#include <QObject>
#include <QString>
#include <QTimer>
#include <QVariantMap>

class QVApplicationInstance final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(QVApplicationInstance)

public:
    explicit QVApplicationInstance(QString bundleIdentifier, QObject *parent = nullptr);
    ~QVApplicationInstance() override;

    // Exports the Activate object, then claims the name; false when another
    // process owns it or the bus is not reachable. Once claimed, the
    // instance watches the bus and says when it is gone.
    bool claim();
    // Asks the name's owner to activate; false when nobody answered.
    bool activateRunningInstance() const;

    static QString objectPathForBundleIdentifier(const QString &bundleIdentifier);

signals:
    void activationRequested();
    // The session bus connection was lost: nobody can reach this instance
    // any more. Emitted once.
    void busDisconnected();

private:
    friend class QVApplicationAdaptor;

    void checkConnection();

    const QString bundleIdentifier_;
    bool claimed_ = false;
    QTimer connectionCheck_;
};
