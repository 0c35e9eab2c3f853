#include "QVHelperPeer.h"

#include <QDBusConnection>

#include <dlfcn.h>

namespace {

// Qt keeps the libdbus connection behind internalPointer() and does not
// offer its socket; libdbus is loaded with Qt's D-Bus module.
using GetSocket = unsigned int (*)(void *connection, int *fd);

GetSocket socketGetter()
{
    static const auto getter = reinterpret_cast<GetSocket>(::dlsym(RTLD_DEFAULT, "dbus_connection_get_socket"));
    return getter;
}

}  // namespace

std::optional<ucred> QVHelperPeer::credentials(const QDBusConnection &connection)
{
    const GetSocket getSocket = socketGetter();
    void *handle = connection.internalPointer();
    int fd = -1;
    if (!getSocket || !handle || !getSocket(handle, &fd) || fd < 0)
        return std::nullopt;
    ucred peer{};
    socklen_t length = sizeof peer;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 || length != sizeof peer || peer.pid <= 0)
        return std::nullopt;
    return peer;
}
