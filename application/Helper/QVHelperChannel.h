// The one road between the application and its privileged helper: a pair of
// connected sockets made by the application, one end handed to the helper
// as its standard input when it is started (pkexec passes standard input
// through and closes every other descriptor). No path, name or pid number
// that another process could take over is involved: whoever does not hold
// an end cannot reach the other.
//
// On it go framed dictionaries: a 4-byte big-endian body length, then
// entries of a type byte ('s' string, 'b' boolean), a 2-byte key length,
// the key, and the value (a 4-byte length and UTF-8 bytes, or one byte 0 or
// 1). Keys are UTF-8 and unique.
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QDeadlineTimer>
#include <QVariantMap>

#include <optional>

#include <sys/types.h>

class QVHelperChannel final {
public:
    // The largest body either side sends or accepts: a few paths.
    static constexpr qsizetype kMaxBodySize = 64 * 1024;
    static constexpr int kMaxEntries = 16;

    // A connected pair, both ends closed on exec; false on failure.
    static bool makePair(int ends[2]);
    // The helper's end: its standard input, when that is a stream socket
    // whose other end belongs to `user`.
    static std::optional<QVHelperChannel> fromStandardInput(uid_t user);

    explicit QVHelperChannel(int fd = -1) : fd_(fd) {}
    ~QVHelperChannel() { close(); }
    QVHelperChannel(QVHelperChannel &&other) noexcept : fd_(other.fd_), stamped_(other.stamped_), sender_(other.sender_)
    {
        other.fd_ = -1;
    }
    QVHelperChannel &operator=(QVHelperChannel &&other) noexcept;
    QVHelperChannel(const QVHelperChannel &) = delete;
    QVHelperChannel &operator=(const QVHelperChannel &) = delete;

    bool isOpen() const { return fd_ >= 0; }
    int descriptor() const { return fd_; }
    void close();

    // Has the kernel name the writer of every byte that arrives from now
    // on; call it before the other end is handed out.
    bool stampWriters();
    // Then accepts bytes only from process `pid`: the application's own
    // child, whose number cannot pass to another process before the
    // application has collected it.
    void acceptOnlyFrom(pid_t pid) { sender_ = pid; }

    // Strings and booleans only; false when the map cannot be sent or the
    // other end is gone.
    bool send(const QVariantMap &message);
    // The next message; nothing on end of stream, a malformed frame, a
    // writer other than the accepted one, or after `timeoutMs` (-1: no
    // limit). After a failure the channel is closed.
    std::optional<QVariantMap> receive(int timeoutMs);
    // A message is waiting, or the other end has gone (receive() tells).
    bool hasInput() const;

    // The frame format on its own, for the fuzzer and the tests.
    static QByteArray encode(const QVariantMap &message);
    static std::optional<QVariantMap> decodeBody(QByteArrayView body);
    static std::optional<QVariantMap> decodeFrame(QByteArrayView frame);

private:
    bool readExactly(char *data, qsizetype size, const QDeadlineTimer &timer);

    int fd_;
    bool stamped_ = false;
    pid_t sender_ = 0;
};
