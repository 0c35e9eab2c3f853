// One file of an update as the update service lists it, and who hears the
// answer to an update query.
#pragma once

#include <QList>
#include <QMetaType>
#include <QString>
#include <QUrl>

struct QVUpdateFile {
    QString name;  // one plain file-name component, also its name on disk
    QString md5;   // lower-case hex as the service sends it
    qint64 size = 0;
    bool isDeleted = false;

    friend bool operator==(const QVUpdateFile &, const QVUpdateFile &) = default;
};

class QVUpdateDelegate {
public:
    virtual ~QVUpdateDelegate() = default;
    // `error` is empty when the query failed without a transfer error.
    virtual void updateDidFinishWithResult(bool result, const QString &description, const QUrl &url,
                                           const QList<QVUpdateFile> &files, const QString &error) = 0;
};

namespace QVUpdateSecurity {

// Updates are installed as root, so they come only over HTTPS with a
// verified certificate; plain HTTP is for a service on this machine.
bool isTrustedUrl(const QUrl &url);

// A name from the network that can only name a file inside one folder.
bool isPlainFileName(const QString &name);

// The file's address: the name percent-encoded, relative to the base URL.
QUrl fileUrl(const QUrl &base, const QString &name);

}  // namespace QVUpdateSecurity

namespace QVUpdateReply {

// The reply grammar behind QVServiceInfo::parseTextResponse; the fuzzer
// reaches past the checksum with `verifyChecksum` false.
bool parse(const QString &reply, bool verifyChecksum, QString *description, QUrl *url, QList<QVUpdateFile> *files);

}  // namespace QVUpdateReply
