#include "QVMainWindowServices.h"

#include "QVPrivilegeOperationManager.h"

namespace {

class PrivilegedHelper final : public QVMailPluginHelper {
public:
    bool performActionOnHelperTool(const QString &action, const QString &sourcePath,
                                   const QString &libraryPath) override
    {
        return QVPrivilegeOperationManager::sharedManager().performActionOnHelperTool(action, sourcePath,
                                                                                       libraryPath);
    }
};

}  // namespace

QVMailPluginHelper &defaultMailPluginHelper()
{
    static PrivilegedHelper helper;
    return helper;
}
