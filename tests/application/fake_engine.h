// An engine that answers as told and records what it was asked, so the
// manager's decisions can be checked without the real one.
#pragma once

#include "QVEngineAPI.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

struct FakeEngineState {
    // Results of the calls; 0 is success.
    uint32_t initializeResult = 0;
    uint32_t connectResult = 0;
    uint32_t bindResult = 0;
    uint32_t authenticateResult = 0;
    uint32_t prepareResult = 0;
    uint32_t lookupResult = 0;
    uint32_t classificationResult = 0;
    uint32_t languageResult = 0;
    uint32_t requestResult = 0;
    // Delivered by an asynchronous report or revoke from another thread,
    // like the engine's network thread does.
    uint32_t completionStatus = 0;
    // Delivered by an asynchronous lookup the same way.
    uint32_t lookupStatus = 0;
    // Destroy answers "in use" this many times first, as while an
    // asynchronous request still holds the context.
    int busyDestroys = 0;
    // Completions wait for releaseCompletions(), as while the server has not
    // answered yet.
    bool holdCompletions = false;
    // Runs inside every lookup, as long as the servers take.
    std::function<void()> duringLookup;

    bool whitelisted = false;
    bool blacklisted = false;
    uint32_t score = 0;
    // Leading languages with their matched counts, in the order reported.
    std::vector<std::pair<std::wstring, uint32_t>> languages;

    // What was asked.
    QStringList calls;
    qvse_callbacks_t callbacks{};
    int contextsAlive = 0;
    struct Credential {
        uint32_t kind;
        uint32_t user;
        std::wstring secret;
    };
    std::vector<Credential> credentials;
    std::vector<std::pair<uint32_t, bool>> requests;  // deadline, asynchronous
    std::vector<uint32_t> lookupDeadlines;
    std::vector<void *> handles;  // of every context made

    int count(const QString &call) const { return static_cast<int>(calls.count(call)); }

    // Completes the held requests, each from a thread of its own.
    void releaseCompletions()
    {
        std::lock_guard lock(mutex);
        for (const auto &[context, status] : held) {
            const auto completed = callbacks.network_completed;
            completions.emplace_back([completed, context = context, status = status] { completed(context, status); });
        }
        held.clear();
    }
    // Completes the latest held request only: the servers answer out of
    // order. False when none is held.
    bool releaseLatestCompletion()
    {
        std::lock_guard lock(mutex);
        if (held.empty())
            return false;
        const auto [context, status] = held.back();
        held.pop_back();
        const auto completed = callbacks.network_completed;
        completions.emplace_back([completed, context = context, status = status] { completed(context, status); });
        return true;
    }
    void complete(void *context, uint32_t status)
    {
        std::lock_guard lock(mutex);
        if (holdCompletions) {
            held.emplace_back(context, status);
            return;
        }
        const auto completed = callbacks.network_completed;
        completions.emplace_back([completed, context, status] { completed(context, status); });
    }
    void joinCompletions()
    {
        std::vector<std::thread> threads;
        {
            std::lock_guard lock(mutex);
            threads.swap(completions);
        }
        for (auto &thread : threads)
            thread.join();
    }
    ~FakeEngineState() { joinCompletions(); }

private:
    std::mutex mutex;
    std::vector<std::pair<void *, uint32_t>> held;
    std::vector<std::thread> completions;
};

class FakeEngine final : public QVEngineAPI {
public:
    explicit FakeEngine(FakeEngineState &state) : state_(state) {}

    uint32_t initialize(const QByteArray &, const qvse_callbacks_t &callbacks) override
    {
        state_.calls << QStringLiteral("initialize");
        state_.callbacks = callbacks;
        return state_.initializeResult;
    }
    uint32_t shutdown() override
    {
        state_.calls << QStringLiteral("shutdown");
        state_.joinCompletions();
        return state_.contextsAlive == 0 ? QVSE_OK : QVSE_E_IN_USE;
    }
    uint32_t connect(const std::wstring &) override
    {
        state_.calls << QStringLiteral("connect");
        return state_.connectResult;
    }
    uint32_t createContext(void *context) override
    {
        state_.calls << QStringLiteral("create");
        state_.handles.push_back(context);
        ++state_.contextsAlive;
        return QVSE_OK;
    }
    uint32_t destroyContext(void *) override
    {
        state_.calls << QStringLiteral("destroy");
        if (state_.busyDestroys > 0) {
            --state_.busyDestroys;
            return QVSE_E_IN_USE;
        }
        --state_.contextsAlive;
        return QVSE_OK;
    }
    uint32_t bindBuffer(void *, const char *, size_t) override
    {
        state_.calls << QStringLiteral("bind");
        return state_.bindResult;
    }
    uint32_t authenticate(void *, uint32_t kind, uint32_t user, const std::wstring &secret) override
    {
        state_.calls << QStringLiteral("authenticate");
        state_.credentials.push_back({kind, user, secret});
        return state_.authenticateResult;
    }
    uint32_t prepare(void *) override
    {
        state_.calls << QStringLiteral("prepare");
        return state_.prepareResult;
    }
    uint32_t lookup(void *context, uint32_t deadline, bool asynchronous) override
    {
        state_.calls << QStringLiteral("lookup");
        state_.lookupDeadlines.push_back(deadline);
        if (state_.duringLookup)
            state_.duringLookup();
        if (!asynchronous || state_.lookupResult != QVSE_OK)
            return state_.lookupResult;
        state_.complete(context, state_.lookupStatus);
        return QVSE_OK;
    }
    uint32_t classification(void *, bool *whitelisted, bool *blacklisted, uint32_t *score) override
    {
        state_.calls << QStringLiteral("classify");
        if (state_.classificationResult != QVSE_OK)
            return state_.classificationResult;
        *whitelisted = state_.whitelisted;
        *blacklisted = state_.blacklisted;
        *score = state_.score;
        return QVSE_OK;
    }
    uint32_t languageClassification(void *context) override
    {
        state_.calls << QStringLiteral("language");
        if (state_.languageResult != QVSE_OK)
            return state_.languageResult;
        for (const auto &[code, matched] : state_.languages)
            state_.callbacks.language_classified(context, code.c_str(), code.size(), matched, 100);
        return QVSE_OK;
    }
    uint32_t report(void *context, bool, uint32_t deadline, bool asynchronous) override
    {
        state_.calls << QStringLiteral("report");
        return request(context, deadline, asynchronous);
    }
    uint32_t revoke(void *context, bool, uint32_t deadline, bool asynchronous) override
    {
        state_.calls << QStringLiteral("revoke");
        return request(context, deadline, asynchronous);
    }

private:
    uint32_t request(void *context, uint32_t deadline, bool asynchronous)
    {
        state_.requests.emplace_back(deadline, asynchronous);
        if (state_.requestResult != QVSE_OK)
            return state_.requestResult;
        state_.complete(context, state_.completionStatus);
        return QVSE_OK;
    }

    FakeEngineState &state_;
};
