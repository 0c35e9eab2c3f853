// The engine calls the spam manager makes, behind an interface so that the
// verdict can be tested without an engine. QVGatewayEngine forwards each
// call to the gateway unchanged.
#pragma once

#include "qvse_types.h"

#include <QByteArray>

#include <cstdint>
#include <memory>
#include <string>

class QVEngineAPI {
public:
    virtual ~QVEngineAPI() = default;

    virtual uint32_t initialize(const QByteArray &directory, const qvse_callbacks_t &callbacks) = 0;
    virtual uint32_t shutdown() = 0;
    virtual uint32_t connect(const std::wstring &host) = 0;
    virtual uint32_t createContext(void *context) = 0;
    virtual uint32_t destroyContext(void *context) = 0;
    virtual uint32_t bindBuffer(void *context, const char *data, size_t length) = 0;
    virtual uint32_t authenticate(void *context, uint32_t identityKind, uint32_t userID,
                                  const std::wstring &secretKey) = 0;
    virtual uint32_t prepare(void *context) = 0;
    virtual uint32_t lookup(void *context, uint32_t timeoutMs, bool asynchronous) = 0;
    virtual uint32_t classification(void *context, bool *whitelisted, bool *blacklisted, uint32_t *score) = 0;
    virtual uint32_t languageClassification(void *context) = 0;
    virtual uint32_t report(void *context, bool flag, uint32_t timeoutMs, bool asynchronous) = 0;
    virtual uint32_t revoke(void *context, bool flag, uint32_t timeoutMs, bool asynchronous) = 0;
};

class QVGatewayEngine final : public QVEngineAPI {
public:
    uint32_t initialize(const QByteArray &directory, const qvse_callbacks_t &callbacks) override;
    uint32_t shutdown() override;
    uint32_t connect(const std::wstring &host) override;
    uint32_t createContext(void *context) override;
    uint32_t destroyContext(void *context) override;
    uint32_t bindBuffer(void *context, const char *data, size_t length) override;
    uint32_t authenticate(void *context, uint32_t identityKind, uint32_t userID,
                          const std::wstring &secretKey) override;
    uint32_t prepare(void *context) override;
    uint32_t lookup(void *context, uint32_t timeoutMs, bool asynchronous) override;
    uint32_t classification(void *context, bool *whitelisted, bool *blacklisted, uint32_t *score) override;
    uint32_t languageClassification(void *context) override;
    uint32_t report(void *context, bool flag, uint32_t timeoutMs, bool asynchronous) override;
    uint32_t revoke(void *context, bool flag, uint32_t timeoutMs, bool asynchronous) override;
};
