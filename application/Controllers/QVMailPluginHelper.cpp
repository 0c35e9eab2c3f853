#include "QVMainWindowServices.h"

#include "QVPrivilegeOperationManager.h"

namespace {

class PrivilegedHelper final : public QVMailPluginHelper {
public:
    Answer performActionOnHelperTool(const QString &action, const QString &sourcePath,
                                     const QString &libraryPath) override
    {
        auto &manager = QVPrivilegeOperationManager::sharedManager();
        if (manager.performActionOnHelperTool(action, sourcePath, libraryPath))
            return Answer::Done;
        // A helper that answered keeps its connection until the next request.
        return manager.isConnected() ? Answer::Refused : Answer::NotReached;
    }
};

}  // namespace

QVMailPluginHelper &defaultMailPluginHelper()
{
    static PrivilegedHelper helper;
    return helper;
}
