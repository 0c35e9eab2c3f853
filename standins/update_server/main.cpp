// qv-update-server --address A --port P --folder DIR [--description TEXT]
//
// The stand-in update service: answers GET /enterprise/service.axd with the
// files of DIR as the update (the reply "0" when DIR has none) and serves
// those files under /files/. A query whose parameters are out of order or
// whose "Chk" is wrong gets status 400. With port 0 a free port is taken;
// the port is printed as "listening on PORT".
#include "QVUpdateProtocol.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTextStream>
#include <QUrl>

#include <cstdio>

namespace {

constexpr qsizetype kMaxRequestSize = 16 * 1024;

const QStringList kParameterNames{
    QStringLiteral("Action"),      QStringLiteral("Schema"),      QStringLiteral("UpdateSchema"),
    QStringLiteral("ProductName"), QStringLiteral("Lsn"),         QStringLiteral("Lang"),
    QStringLiteral("AutoUpdate"),  QStringLiteral("ReleaseType"), QStringLiteral("ResForm"),
    QStringLiteral("UpdateKey"),   QStringLiteral("Chk"),
};

struct Settings {
    QString address;
    quint16 port = 0;
    QString folder;
    QString description;
};

QByteArray response(int status, const QByteArray &reason, const QByteArray &body,
                    const QByteArray &type = "text/plain; charset=utf-8")
{
    return "HTTP/1.1 " + QByteArray::number(status) + ' ' + reason + "\r\nContent-Type: " + type
        + "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

bool isValidQuery(const QString &query)
{
    const QStringList parameters = query.split(u'&');
    if (parameters.size() != kParameterNames.size())
        return false;
    for (qsizetype i = 0; i < parameters.size(); ++i) {
        if (parameters[i].section(u'=', 0, 0) != kParameterNames[i] || !parameters[i].contains(u'='))
            return false;
    }
    const QString checksum = parameters.last().section(u'=', 1);
    return QVUpdateProtocol::checksumForParams(parameters.mid(0, parameters.size() - 1)) == checksum;
}

QString md5OfFile(const QString &path)
{
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Md5);
    if (!file.open(QIODevice::ReadOnly) || !hash.addData(&file))
        return QString();
    return QString::fromLatin1(hash.result().toHex());
}

QFileInfoList updateFiles(const Settings &settings)
{
    return QDir(settings.folder).entryInfoList(QDir::Files | QDir::NoDotAndDotDot, QDir::Name);
}

QByteArray updateReply(const Settings &settings, const QString &host)
{
    const QFileInfoList files = updateFiles(settings);
    if (files.isEmpty())
        return "0\r\n";
    const QString base = QStringLiteral("http://%1/files/").arg(host);
    const QString field3 = QStringLiteral("0");
    QString hashed = settings.description + field3 + base + QString::number(files.size());
    QString lines = settings.description + QStringLiteral("\r\n") + field3 + QStringLiteral("\r\n") + base
        + QStringLiteral("\r\n") + QString::number(files.size()) + QStringLiteral("\r\n");
    for (const QFileInfo &file : files) {
        const QString md5 = md5OfFile(file.filePath());
        const QString size = QString::number(file.size());
        hashed += file.fileName() + u'0' + md5 + size + u'0' + u'0';
        lines += file.fileName() + QStringLiteral("\r\n0\r\n") + md5 + QStringLiteral("\r\n") + size
            + QStringLiteral("\r\n0\r\n0\r\n");
    }
    return (QVUpdateProtocol::doubleHash(hashed.toLower()) + QStringLiteral("\r\n") + lines).toUtf8();
}

QByteArray answer(const Settings &settings, const QByteArray &request)
{
    const QList<QByteArray> requestLine = request.left(request.indexOf("\r\n")).split(' ');
    if (requestLine.size() != 3 || requestLine[0] != "GET")
        return response(405, "Method Not Allowed", "");
    const QUrl target(QString::fromLatin1(requestLine[1]));
    const QString host = QStringLiteral("%1:%2").arg(settings.address).arg(settings.port);
    if (target.path() == u"/enterprise/service.axd") {
        if (!isValidQuery(target.query(QUrl::FullyDecoded)))
            return response(400, "Bad Request", "");
        return response(200, "OK", updateReply(settings, host));
    }
    if (target.path().startsWith(u"/files/")) {
        const QString name = target.path(QUrl::FullyDecoded).mid(7);
        for (const QFileInfo &file : updateFiles(settings)) {
            if (file.fileName() != name)
                continue;
            QFile content(file.filePath());
            if (content.open(QIODevice::ReadOnly))
                return response(200, "OK", content.readAll(), "application/octet-stream");
        }
    }
    return response(404, "Not Found", "");
}

}  // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("The stand-in update service."));
    parser.addHelpOption();
    parser.addOption({QStringLiteral("address"), QStringLiteral("Address to listen on."), QStringLiteral("A"),
                      QStringLiteral("127.0.0.1")});
    parser.addOption({QStringLiteral("port"), QStringLiteral("Port to listen on (0: any)."), QStringLiteral("P"),
                      QStringLiteral("2480")});
    parser.addOption(
        {QStringLiteral("folder"), QStringLiteral("Folder of the update's files."), QStringLiteral("DIR")});
    parser.addOption({QStringLiteral("description"), QStringLiteral("The update's description."),
                      QStringLiteral("TEXT"), QStringLiteral("Quorvane update")});
    parser.process(application);

    Settings settings;
    settings.address = parser.value(QStringLiteral("address"));
    settings.folder = parser.value(QStringLiteral("folder"));
    settings.description = parser.value(QStringLiteral("description"));
    bool portOk = false;
    const uint port = parser.value(QStringLiteral("port")).toUInt(&portOk);
    if (settings.folder.isEmpty() || !QFileInfo(settings.folder).isDir() || !portOk || port > 65535
        || settings.description.isEmpty() || settings.description.contains(u'\r')
        || settings.description.contains(u'\n')) {
        std::fprintf(stderr, "usage: qv-update-server --address A --port P --folder DIR [--description TEXT]\n");
        return 2;
    }
    QTcpServer server;
    if (!server.listen(QHostAddress(settings.address), quint16(port))) {
        std::fprintf(stderr, "qv-update-server: %s\n", qPrintable(server.errorString()));
        return 1;
    }
    settings.port = server.serverPort();
    std::printf("listening on %u\n", unsigned(settings.port));
    std::fflush(stdout);

    QObject::connect(&server, &QTcpServer::newConnection, [&server, &settings] {
        while (QTcpSocket *socket = server.nextPendingConnection()) {
            auto buffer = std::make_shared<QByteArray>();
            QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket, buffer, &settings] {
                buffer->append(socket->readAll());
                if (buffer->size() > kMaxRequestSize) {
                    socket->write(response(413, "Content Too Large", ""));
                    socket->disconnectFromHost();
                } else if (buffer->contains("\r\n\r\n")) {
                    socket->write(answer(settings, *buffer));
                    socket->disconnectFromHost();
                }
            });
        }
    });
    return application.exec();
}
