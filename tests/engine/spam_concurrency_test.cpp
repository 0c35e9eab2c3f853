#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "spam/spam.hpp"
#include "spam_support.hpp"

namespace {

namespace engine = quorvane::engine;
using quorvane::testing::bound_context;

const std::string message =
    "Received: from h (h [192.0.2.1]) by mx (mx [198.51.100.2])\r\n"
    "Content-Type: multipart/mixed; boundary=b\r\n\r\n"
    "--b\r\nContent-Type: text/plain\r\n\r\nsome text\r\n"
    "--b\r\nContent-Type: image/png\r\nContent-Transfer-Encoding: base64\r\n\r\naGVsbG8=\r\n"
    "--b--\r\n";
const std::wstring text =
    L"one two three four five six seven eight one two three four five six seven eight "
    L"one two three four five six seven eight www.google.com/search?q=x&btnI=1";

TEST(SpamConcurrency, ContextsPrepareAndClassifyInParallel) {
    // Each thread has a context of its own and shares one more with the
    // others; every call on the shared one sees a whole preparation.
    constexpr int threads = 6, rounds = 50;
    const std::set<std::wstring> links{L"http://example.com/a",
                                       L"www.google.com/search?q=x&btnI=1"};
    bound_context reference(message, text, links);
    ASSERT_EQ(engine::spam::prepare(reference.handle()), unsigned(QVSE_OK));
    std::vector<std::unique_ptr<bound_context>> own;
    for (int t = 0; t < threads; ++t)
        own.push_back(std::make_unique<bound_context>(message, text, links));
    bound_context shared(message, text, links);
    std::atomic<int> failures{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            for (int i = 0; i < rounds; ++i) {
                for (void* handle : {own[t]->handle(), shared.handle()}) {
                    bool whitelisted = true, blacklisted = true;
                    unsigned score = 0;
                    if (engine::spam::prepare(handle) != QVSE_OK) ++failures;
                    if (engine::spam::classify(handle, whitelisted, blacklisted, score) !=
                            QVSE_OK ||
                        whitelisted || blacklisted || score != 50)
                        ++failures;
                }
            }
        });
    }
    for (auto& worker : workers) worker.join();
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(shared.fingerprints(), reference.fingerprints());
    for (const auto& context : own) EXPECT_EQ(context->fingerprints(), reference.fingerprints());
}

}  // namespace
