// Who is at the other end of a private D-Bus connection, as the kernel saw
// it: the process that listened (seen from the connecting side) or the one
// that connected (seen from the listening side). Both sides of the helper's
// connection check it, since any process of the user can reach a socket
// that the user can reach.
#pragma once

#include <optional>

#include <sys/socket.h>

class QDBusConnection;

namespace QVHelperPeer {

std::optional<ucred> credentials(const QDBusConnection &connection);

}  // namespace QVHelperPeer
