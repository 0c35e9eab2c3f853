// The stand-in update service as a child process on a free loopback port.
#pragma once

#include "wait_for.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QUrl>

namespace update_test {

class UpdateServer {
public:
    explicit UpdateServer(const QString &description = QStringLiteral("Quorvane 2.0"))
    {
        process_.start(QStringLiteral(QV_UPDATE_SERVER),
                       {QStringLiteral("--address"), QStringLiteral("127.0.0.1"), QStringLiteral("--port"),
                        QStringLiteral("0"), QStringLiteral("--folder"), folder_.path(),
                        QStringLiteral("--description"), description});
        if (process_.waitForReadyRead(10000))
            port_ = QString::fromLatin1(process_.readLine()).section(u' ', 2).trimmed().toUShort();
    }
    ~UpdateServer()
    {
        process_.kill();
        process_.waitForFinished(5000);
    }
    quint16 port() const { return port_; }
    QString folder() const { return folder_.path(); }
    QUrl service() const { return QUrl(QStringLiteral("http://127.0.0.1:%1").arg(port_)); }
    QUrl files() const { return QUrl(QStringLiteral("http://127.0.0.1:%1/files/").arg(port_)); }
    void put(const QString &name, const QByteArray &content) const
    {
        QFile file(folder_.filePath(name));
        if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            file.write(content);
    }

private:
    QTemporaryDir folder_;
    QProcess process_;
    quint16 port_ = 0;
};

}  // namespace update_test
