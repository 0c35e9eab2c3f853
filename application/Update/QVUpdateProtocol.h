// What the application and the update service agree on, without any state
// of the application: the checksum of a query, the reply grammar, and the
// rules for what a reply may name. Qt Core only, so that the stand-in
// service and the fuzzer link it alone.
#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <cstdint>

struct QVUpdateFile {
    QString name;  // one plain file-name component, also its name on disk
    QString md5;  // lower-case hex as the service sends it
    qint64 size = 0;
    bool isDeleted = false;

    friend bool operator==(const QVUpdateFile &, const QVUpdateFile &) = default;
};

namespace QVUpdateProtocol {

// The most an update may announce, download and unpack, all files together.
inline constexpr std::int64_t kMaxUpdateSize = std::int64_t(512) * 1024 * 1024;

// Lower-case hex of MD5(MD5(UTF-8 of `text`)); empty for an empty text.
QString doubleHash(const QString &text);

// The "Chk" of a query: its "name=value" parameters run together
// (without "Chk"), percent-escaped, lower-cased, hashed twice.
QString checksumForParams(const QStringList &params);

}  // namespace QVUpdateProtocol

namespace QVUpdateSecurity {

// Updates are installed as root, so they come only over HTTPS with a
// verified certificate, or over plain HTTP from this machine (allowed only
// where the user set such a service explicitly; see the query).
bool isTrustedUrl(const QUrl &url);
bool isLoopbackHttp(const QUrl &url);

// A name from the network that can only name a file inside one folder.
bool isPlainFileName(const QString &name);

// The file's address: the name percent-encoded, relative to the base URL.
QUrl fileUrl(const QUrl &base, const QString &name);

}  // namespace QVUpdateSecurity

namespace QVUpdateReply {

// The reply grammar behind QVServiceInfo::parseTextResponse; the fuzzer
// reaches past the checksum with `verifyChecksum` false. A reply whose files
// announce more than kMaxUpdateSize together is refused.
bool parse(const QString &reply, bool verifyChecksum, QString *description, QUrl *url, QList<QVUpdateFile> *files);

}  // namespace QVUpdateReply
