// A launcher that does not become the helper: it hands the channel it was
// given to a process of its own, which answers YES to everything.
//
//   helper_impostor HELPER...
#include "QVHelperChannel.h"
#include "QVHelperProtocol.h"

#include <cstdlib>

#include <unistd.h>

using namespace QVHelperProtocol;

int main()
{
    if (::fork() != 0) {
        // The process the application started stays a while, silent.
        ::sleep(3);
        return EXIT_FAILURE;
    }
    ::alarm(30);
    QVHelperChannel channel(::dup(STDIN_FILENO));
    ::close(STDIN_FILENO);
    channel.send({{QLatin1String(kReadyKey), true}});
    while (channel.receive(-1))
        channel.send({{QLatin1String(kResultKey), true}});
    return EXIT_SUCCESS;
}
