// The heap running out midway: whichever allocation fails, a part tree is
// freed exactly once, and the lookup and touch requests trace the failure.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <new>
#include <thread>

#include "context/context.hpp"
#include "entry_table.hpp"
#include "installed_callbacks.hpp"
#include "mime/mime.hpp"
#include "network/network.hpp"
#include "support/recorder.hpp"

namespace {

// Counts down to a failing allocation; negative never fails.
thread_local long allocations_until_failure = -1;
thread_local bool failed = false;
thread_local long live_allocations = 0;

// Fails one allocation, then allocates again (the failure is traced).
void* allocate(std::size_t size) {
    if (allocations_until_failure == 0) {
        allocations_until_failure = -1;
        failed = true;
        throw std::bad_alloc();
    }
    if (allocations_until_failure > 0) --allocations_until_failure;
    void* block = std::malloc(size == 0 ? 1 : size);
    if (block == nullptr) throw std::bad_alloc();
    ++live_allocations;
    return block;
}

void release(void* block) noexcept {
    if (block == nullptr) return;
    --live_allocations;
    std::free(block);
}

}  // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void operator delete(void* block) noexcept { release(block); }
void operator delete[](void* block) noexcept { release(block); }
void operator delete(void* block, std::size_t) noexcept { release(block); }
void operator delete[](void* block, std::size_t) noexcept { release(block); }

namespace {

namespace mime = quorvane::engine::mime;
namespace parts = mime::parts;
namespace network = quorvane::engine::network;
namespace context = quorvane::engine::context;

// A mixed root over many children, some of them enclosed messages holding
// alternatives, so that freeing it needs a growing work list.
parts::generic_type* make_tree() {
    auto* root = new parts::multipart_type({"multipart", "mixed"}, {});
    for (int i = 0; i < 40; ++i) {
        if (i % 3 != 0) {
            root->children.push_back(new parts::text_type({"text", "plain"}, {}));
            continue;
        }
        auto* enclosed = new parts::encapsulated_type({"message", "rfc822"}, {});
        auto* alternative = new parts::multipart_type({"multipart", "alternative"}, {});
        for (int j = 0; j < 3; ++j)
            alternative->children.push_back(new parts::text_type({"text", "html"}, {}));
        alternative->children.push_back(new parts::attachment_type({"image", "png"}, {}));
        enclosed->message = alternative;
        root->children.push_back(enclosed);
    }
    return root;
}

TEST(AllocationFailure, DestroyFreesEveryPartWhicheverAllocationFails) {
    for (long failing = 0;; ++failing) {
        SCOPED_TRACE("allocation " + std::to_string(failing) + " fails");
        const long before = live_allocations;
        parts::generic_type* root = make_tree();
        failed = false;
        allocations_until_failure = failing;
        mime::destroy(root);
        allocations_until_failure = -1;
        EXPECT_EQ(live_allocations, before) << "parts left behind";
        if (!failed) break;
        ASSERT_LT(failing, 1000);
    }
}

// Out of memory in a lookup or touch is traced and answered as a failure.
TEST(AllocationFailure, LookupAndTouchTraceIt) {
    quorvane::testing::recorder rec;
    quorvane::testing::installed_callbacks installed(rec.table());
    ASSERT_EQ(network::initialize(), unsigned(QVSE_OK));
    int cell = 0;
    ASSERT_EQ(context::create(&cell), unsigned(QVSE_OK));
    const std::function<unsigned()> requests[] = {
        [&] { return network::lookup(&cell, 1000, false); },
        [&] { return network::touch(&cell, 50, 1000, false); },
    };
    for (const auto& request : requests) {
        for (long failing = 0;; ++failing) {
            SCOPED_TRACE("allocation " + std::to_string(failing) + " fails");
            rec.clear();
            failed = false;
            allocations_until_failure = failing;
            const unsigned result = request();
            allocations_until_failure = -1;
            if (!failed) {
                EXPECT_EQ(result, unsigned(QVSE_E_NO_SERVERS));
                break;
            }
            EXPECT_EQ(result, unsigned(QVSE_E_FAILED));
            const auto lines = rec.lines();
            EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const auto& line) {
                return line.facility == L"Network" && line.text == L"An exception has occured:";
            }));
            ASSERT_LT(failing, 1000);
        }
    }
    // A request that failed after it was handed over still completes.
    for (int tries = 0; context::destroy(&cell) == QVSE_E_IN_USE && tries < 500; ++tries)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(network::shutdown(), unsigned(QVSE_OK));
}

}  // namespace
