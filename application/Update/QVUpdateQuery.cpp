// The update query over the network; the answer reaches the delegate on the
// thread that asked.
#include "QVServiceInfo.h"
#include "QVUpdateFile.h"

#include "QVLogger.h"
#include "QVUserDefaults.h"

#include <QCoreApplication>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>

namespace {

// A reply is a few lines per file; anything larger is not one.
constexpr qint64 kMaxReplySize = 1024 * 1024;
constexpr int kTransferTimeout = 60 * 1000;

void deliver(const QPointer<QObject> &delegate, bool result, const QString &description, const QUrl &url,
             const QList<QVUpdateFile> &files, const QString &error)
{
    if (auto *receiver = dynamic_cast<QVUpdateDelegate *>(delegate.data()))
        receiver->updateDidFinishWithResult(result, description, url, files, error);
}

}  // namespace

void QVServiceInfo::updateWithDelegate(QObject *delegate, bool applicationUpdate)
{
    Q_UNUSED(applicationUpdate);  // the application is the only product updated
    const QPointer<QObject> receiver(delegate);
    QUrl url(QVUserDefaults::standardUserDefaults().stringForKey(QString::fromLatin1(kQVUpdateServiceKey)));
    url.setPath(QStringLiteral("/enterprise/service.axd"));
    url.setQuery(updateQueryParameters().join(u'&'));
    QVLogCore(QCoreApplication::translate("QVServiceInfo", "Sent update request: %1"), url.toString());

    if (!QVUpdateSecurity::isTrustedUrl(url)) {
        const QString error = QCoreApplication::translate("QVServiceInfo", "The update service must be reached over HTTPS.");
        QMetaObject::invokeMethod(
            delegate, [receiver, error] { deliver(receiver, false, QString(), QUrl(), {}, error); }, Qt::QueuedConnection);
        return;
    }
    auto *manager = new QNetworkAccessManager;
    QNetworkRequest request(url);
    request.setTransferTimeout(kTransferTimeout);
    // A redirect could lead anywhere, also to plain HTTP.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    QNetworkReply *reply = manager->get(request);
    QObject::connect(reply, &QNetworkReply::readyRead, reply, [reply] {
        if (reply->bytesAvailable() > kMaxReplySize)
            reply->abort();
    });
    QObject::connect(reply, &QNetworkReply::finished, manager, [manager, reply, receiver] {
        manager->deleteLater();
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        const QByteArray body = reply->read(kMaxReplySize + 1);
        QString description;
        QUrl base;
        QList<QVUpdateFile> files;
        bool result = false;
        QString error;
        if (reply->error() != QNetworkReply::NoError) {
            if (reply->error() != QNetworkReply::OperationCanceledError)
                error = reply->errorString();
        } else if (status == 200 && !body.isEmpty() && body.size() <= kMaxReplySize) {
            const QString text = QString::fromUtf8(body);
            QVLogCore(QCoreApplication::translate("QVServiceInfo", "Received update response: %1"), text);
            result = parseTextResponse(text, &description, &base, &files);
        }
        deliver(receiver, result, description, base, files, error);
    });
}
