#include "QVHelperChannel.h"

#include <QDeadlineTimer>
#include <QStringDecoder>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

void appendNumber(QByteArray &out, quint32 value, int bytes)
{
    for (int shift = (bytes - 1) * 8; shift >= 0; shift -= 8)
        out.append(char((value >> shift) & 0xFF));
}

quint32 readNumber(QByteArrayView data, qsizetype at, int bytes)
{
    quint32 value = 0;
    for (int i = 0; i < bytes; ++i)
        value = (value << 8) | quint8(data[at + i]);
    return value;
}

std::optional<QString> utf8(QByteArrayView bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder.decode(bytes);
    if (decoder.hasError() || text.contains(QChar(0)))
        return std::nullopt;
    return text;
}

}  // namespace

bool QVHelperChannel::makePair(int ends[2])
{
    return ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) == 0;
}

std::optional<QVHelperChannel> QVHelperChannel::fromStandardInput(uid_t user)
{
    int type = 0;
    int domain = 0;
    socklen_t length = sizeof type;
    if (::getsockopt(STDIN_FILENO, SOL_SOCKET, SO_TYPE, &type, &length) != 0 || type != SOCK_STREAM)
        return std::nullopt;
    length = sizeof domain;
    if (::getsockopt(STDIN_FILENO, SOL_SOCKET, SO_DOMAIN, &domain, &length) != 0 || domain != AF_UNIX)
        return std::nullopt;
    // Who made the pair: only its uid is looked at, never its pid.
    ucred peer{};
    length = sizeof peer;
    if (::getsockopt(STDIN_FILENO, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 || peer.uid != user)
        return std::nullopt;
    const int fd = ::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3);
    if (fd < 0)
        return std::nullopt;
    return QVHelperChannel(fd);
}

QVHelperChannel &QVHelperChannel::operator=(QVHelperChannel &&other) noexcept
{
    if (this != &other) {
        close();
        fd_ = other.fd_;
        stamped_ = other.stamped_;
        sender_ = other.sender_;
        other.fd_ = -1;
    }
    return *this;
}

void QVHelperChannel::close()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

bool QVHelperChannel::stampWriters()
{
    const int on = 1;
    stamped_ = fd_ >= 0 && ::setsockopt(fd_, SOL_SOCKET, SO_PASSCRED, &on, sizeof on) == 0;
    return stamped_;
}

QByteArray QVHelperChannel::encode(const QVariantMap &message)
{
    if (message.size() > kMaxEntries)
        return QByteArray();
    QByteArray body;
    for (auto it = message.cbegin(); it != message.cend(); ++it) {
        const QByteArray key = it.key().toUtf8();
        if (key.size() > 0xFFFF)
            return QByteArray();
        if (it->typeId() == QMetaType::Bool) {
            body.append('b');
            appendNumber(body, quint32(key.size()), 2);
            body.append(key);
            body.append(char(it->toBool() ? 1 : 0));
        } else if (it->typeId() == QMetaType::QString) {
            const QByteArray value = it->toString().toUtf8();
            body.append('s');
            appendNumber(body, quint32(key.size()), 2);
            body.append(key);
            appendNumber(body, quint32(value.size()), 4);
            body.append(value);
        } else {
            return QByteArray();
        }
        if (body.size() > kMaxBodySize)
            return QByteArray();
    }
    QByteArray frame;
    appendNumber(frame, quint32(body.size()), 4);
    return frame + body;
}

std::optional<QVariantMap> QVHelperChannel::decodeBody(QByteArrayView body)
{
    if (body.size() > kMaxBodySize)
        return std::nullopt;
    QVariantMap message;
    qsizetype at = 0;
    while (at < body.size()) {
        if (message.size() >= kMaxEntries || body.size() - at < 3)
            return std::nullopt;
        const char type = body[at];
        const qsizetype keyLength = readNumber(body, at + 1, 2);
        at += 3;
        if (body.size() - at < keyLength)
            return std::nullopt;
        const auto key = utf8(body.sliced(at, keyLength));
        at += keyLength;
        if (!key || message.contains(*key))
            return std::nullopt;
        if (type == 'b') {
            if (at >= body.size() || quint8(body[at]) > 1)
                return std::nullopt;
            message.insert(*key, body[at] == 1);
            at += 1;
        } else if (type == 's') {
            if (body.size() - at < 4)
                return std::nullopt;
            const qsizetype valueLength = readNumber(body, at, 4);
            at += 4;
            if (body.size() - at < valueLength)
                return std::nullopt;
            const auto value = utf8(body.sliced(at, valueLength));
            if (!value)
                return std::nullopt;
            message.insert(*key, *value);
            at += valueLength;
        } else {
            return std::nullopt;
        }
    }
    return message;
}

std::optional<QVariantMap> QVHelperChannel::decodeFrame(QByteArrayView frame)
{
    if (frame.size() < 4 || readNumber(frame, 0, 4) != quint64(frame.size() - 4))
        return std::nullopt;
    return decodeBody(frame.sliced(4));
}

bool QVHelperChannel::send(const QVariantMap &message)
{
    const QByteArray frame = encode(message);
    if (fd_ < 0 || frame.isEmpty())
        return false;
    for (qsizetype sent = 0; sent < frame.size();) {
        const ssize_t step = ::send(fd_, frame.constData() + sent, size_t(frame.size() - sent), MSG_NOSIGNAL);
        if (step < 0 && errno == EINTR)
            continue;
        if (step <= 0) {
            close();
            return false;
        }
        sent += step;
    }
    return true;
}

bool QVHelperChannel::hasInput() const
{
    pollfd ready{fd_, POLLIN, 0};
    return fd_ >= 0 && ::poll(&ready, 1, 0) > 0;
}

bool QVHelperChannel::readExactly(char *data, qsizetype size, const QDeadlineTimer &timer)
{
    while (size > 0) {
        pollfd ready{fd_, POLLIN, 0};
        const int waited = ::poll(&ready, 1, timer.isForever() ? -1 : int(timer.remainingTime()));
        if (waited < 0 && errno == EINTR)
            continue;
        if (waited <= 0)
            return false;
        iovec part{data, size_t(size)};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
        msghdr header{};
        header.msg_iov = &part;
        header.msg_iovlen = 1;
        if (stamped_) {
            header.msg_control = control;
            header.msg_controllen = sizeof control;
        }
        const ssize_t count = ::recvmsg(fd_, &header, MSG_CMSG_CLOEXEC);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            return false;
        if (stamped_) {
            // The kernel stamps each write with its writer and never joins
            // the bytes of two writers in one read.
            // Descriptors sent along do not fit and are dropped: refused.
            const cmsghdr *stamp = CMSG_FIRSTHDR(&header);
            if (!stamp || stamp->cmsg_level != SOL_SOCKET || stamp->cmsg_type != SCM_CREDENTIALS
                || (header.msg_flags & MSG_CTRUNC) != 0)
                return false;
            ucred writer{};
            std::memcpy(&writer, CMSG_DATA(stamp), sizeof writer);
            if (sender_ == 0 || writer.pid != sender_)
                return false;
        }
        data += count;
        size -= count;
    }
    return true;
}

std::optional<QVariantMap> QVHelperChannel::receive(int timeoutMs)
{
    if (fd_ < 0)
        return std::nullopt;
    // One deadline for the whole message, however it trickles in.
    const QDeadlineTimer timer(timeoutMs < 0 ? QDeadlineTimer(QDeadlineTimer::Forever) : QDeadlineTimer(timeoutMs));
    char header[4];
    std::optional<QVariantMap> message;
    if (readExactly(header, 4, timer)) {
        const quint32 length = readNumber(QByteArrayView(header, 4), 0, 4);
        QByteArray body(qsizetype(std::min<quint32>(length, kMaxBodySize)), Qt::Uninitialized);
        if (length <= quint32(kMaxBodySize) && readExactly(body.data(), body.size(), timer))
            message = decodeBody(body);
    }
    if (!message)
        close();
    return message;
}
