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
#include <QSettings>
#include <QTimer>

namespace {

// A reply is a few lines per file; anything larger is not one.
constexpr qint64 kMaxReplySize = 1024 * 1024;
// Nothing received for this long ends a transfer; the deadlines below end
// it however slowly bytes keep coming.
constexpr int kTransferTimeout = 60 * 1000;
int queryDeadline = 2 * 60 * 1000;
int downloadDeadline = 30 * 60 * 1000;

// The service the user (or whoever set up this account) wrote into the
// settings; the built-in default names none. Plain HTTP to this machine is
// taken only from a written setting: any local user can open a port here.
QUrl serviceUrl(QString *error)
{
    const QString key = QString::fromLatin1(kQVUpdateServiceKey);
    auto &defaults = QVUserDefaults::standardUserDefaults();
    const QUrl url(defaults.stringForKey(key), QUrl::StrictMode);
    if (url.isEmpty()) {
        *error = QCoreApplication::translate("QVServiceInfo", "No update service is set.");
        return QUrl();
    }
    const bool written = QSettings(defaults.filePath(), QSettings::IniFormat).contains(key);
    if (!QVUpdateSecurity::isTrustedUrl(url) || (url.scheme() == u"http" && !written)) {
        *error = QCoreApplication::translate("QVServiceInfo", "The update service must be reached over HTTPS.");
        return QUrl();
    }
    return url;
}

void deliver(const QPointer<QObject> &delegate, bool result, const QString &description, const QUrl &url,
             const QList<QVUpdateFile> &files, const QString &error)
{
    if (auto *receiver = dynamic_cast<QVUpdateDelegate *>(delegate.data()))
        receiver->updateDidFinishWithResult(result, description, url, files, error);
}

}  // namespace

int QVUpdateLimits::queryDeadline()
{
    return ::queryDeadline;
}

int QVUpdateLimits::downloadDeadline()
{
    return ::downloadDeadline;
}

void QVUpdateLimits::setDeadlinesForTesting(int query, int download)
{
    ::queryDeadline = query;
    ::downloadDeadline = download;
}

void QVServiceInfo::updateWithDelegate(QObject *delegate, bool applicationUpdate)
{
    Q_UNUSED(applicationUpdate);  // the application is the only product updated
    const QPointer<QObject> receiver(delegate);
    QString refusal;
    QUrl url = serviceUrl(&refusal);
    if (url.isEmpty()) {
        QVLogCore(QCoreApplication::translate("QVServiceInfo", "Update check skipped: %1"), refusal);
        QMetaObject::invokeMethod(
            delegate, [receiver, refusal] { deliver(receiver, false, QString(), QUrl(), {}, refusal); },
            Qt::QueuedConnection);
        return;
    }
    url.setPath(QStringLiteral("/enterprise/service.axd"));
    url.setQuery(updateQueryParameters().join(u'&'));
    QVLogCore(QCoreApplication::translate("QVServiceInfo", "Sent update request: %1"), url.toString());

    auto *manager = new QNetworkAccessManager;
    QNetworkRequest request(url);
    request.setTransferTimeout(kTransferTimeout);
    // A redirect could lead anywhere, also to plain HTTP.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    QNetworkReply *reply = manager->get(request);
    auto *deadline = new QTimer(reply);
    deadline->setSingleShot(true);
    QObject::connect(deadline, &QTimer::timeout, reply, &QNetworkReply::abort);
    deadline->start(::queryDeadline);
    QObject::connect(reply, &QNetworkReply::readyRead, reply, [reply] {
        if (reply->bytesAvailable() > kMaxReplySize)
            reply->abort();
    });
    const bool plainService = url.scheme() == u"http";
    QObject::connect(reply, &QNetworkReply::finished, manager, [manager, reply, receiver, deadline, plainService] {
        manager->deleteLater();
        const bool late = !deadline->isActive();
        deadline->stop();
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        const QByteArray body = reply->read(kMaxReplySize + 1);
        QString description;
        QUrl base;
        QList<QVUpdateFile> files;
        bool result = false;
        QString error;
        if (late) {
            error = QCoreApplication::translate("QVServiceInfo", "The update service did not answer in time.");
        } else if (reply->error() != QNetworkReply::NoError) {
            if (reply->error() != QNetworkReply::OperationCanceledError)
                error = reply->errorString();
        } else if (status == 200 && !body.isEmpty() && body.size() <= kMaxReplySize) {
            const QString text = QString::fromUtf8(body);
            QVLogCore(QCoreApplication::translate("QVServiceInfo", "Received update response: %1"), text);
            result = parseTextResponse(text, &description, &base, &files);
            // Files over plain HTTP only from a service reached that way.
            if (result && base.scheme() == u"http" && !plainService) {
                result = false;
                description.clear();
                base.clear();
                files.clear();
            }
        }
        deliver(receiver, result, description, base, files, error);
    });
}
