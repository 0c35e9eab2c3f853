// One running instance per session: the instance owns its bundle identifier
// as a name on the session bus and answers org.freedesktop.Application's
// Activate at the object path made from that name
// (org.quorvane.Quorvane -> /org/quorvane/Quorvane), so that a second start
// can ask it to show itself and leave.
//
// Whoever sees the name may send requests at once, so a program claims it
// only once it listens to everything it serves. Which start goes on is
// settled earlier, by a second name (<identifier>.Instance) that the
// program holds from its first moment.
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

    // Claims the instance name; false when another start holds it or the
    // bus is not reachable.
    bool lock();
    // Exports the Activate object, then claims the name; false when another
    // process owns it or the bus is not reachable. Once claimed, the
    // instance watches the bus and says when it is gone.
    bool claim();
    // Waits (at most `milliseconds`) until the name is owned, then asks its
    // owner to activate; false when nobody answered.
    bool activateRunningInstance(int milliseconds) const;
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

    QString lockName() const { return bundleIdentifier_ + QStringLiteral(".Instance"); }

    const QString bundleIdentifier_;
    bool locked_ = false;
    bool claimed_ = false;
    QTimer connectionCheck_;
};
