#include "QVEngineAPI.h"

#include "callgate.h"

uint32_t QVGatewayEngine::initialize(const QByteArray &directory, const qvse_callbacks_t &callbacks)
{
    return QVSE_Engine_Initialize(directory.constData(), static_cast<size_t>(directory.size()), &callbacks);
}

uint32_t QVGatewayEngine::shutdown()
{
    return QVSE_Engine_Shutdown();
}

uint32_t QVGatewayEngine::connect(const std::wstring &host)
{
    return QVSE_Network_Connect(host.data(), host.size());
}

uint32_t QVGatewayEngine::createContext(void *context)
{
    return QVSE_Context_Create(context);
}

uint32_t QVGatewayEngine::destroyContext(void *context)
{
    return QVSE_Context_Destroy(context);
}

uint32_t QVGatewayEngine::bindBuffer(void *context, const char *data, size_t length)
{
    return QVSE_MIME_BindBuffer(context, data, length);
}

uint32_t QVGatewayEngine::authenticate(void *context, uint32_t identityKind, uint32_t userID,
                                       const std::wstring &secretKey)
{
    return QVSE_Network_Authenticate(context, identityKind, userID, secretKey.data(), secretKey.size());
}

uint32_t QVGatewayEngine::prepare(void *context)
{
    return QVSE_Spam_Prepare(context);
}

uint32_t QVGatewayEngine::lookup(void *context, uint32_t timeoutMs, bool asynchronous)
{
    return QVSE_Network_Lookup(context, timeoutMs, asynchronous);
}

uint32_t QVGatewayEngine::classification(void *context, bool *whitelisted, bool *blacklisted, uint32_t *score)
{
    return QVSE_Spam_GetClassification(context, whitelisted, blacklisted, score);
}

uint32_t QVGatewayEngine::languageClassification(void *context)
{
    return QVSE_Language_GetClassification(context);
}

uint32_t QVGatewayEngine::report(void *context, bool flag, uint32_t timeoutMs, bool asynchronous)
{
    return QVSE_Network_Report(context, flag, timeoutMs, asynchronous);
}

uint32_t QVGatewayEngine::revoke(void *context, bool flag, uint32_t timeoutMs, bool asynchronous)
{
    return QVSE_Network_Revoke(context, flag, timeoutMs, asynchronous);
}
