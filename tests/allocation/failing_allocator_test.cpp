// Freeing a part tree when the heap runs out midway: whichever allocation
// fails, every part is freed exactly once.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>

#include "mime/mime.hpp"

namespace {

// Counts down to a failing allocation; negative never fails.
thread_local long allocations_until_failure = -1;
thread_local bool failed = false;
thread_local long live_allocations = 0;

void* allocate(std::size_t size) {
    if (allocations_until_failure == 0) {
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
        for (int j = 0; j < 3; ++j) alternative->children.push_back(new parts::text_type({"text", "html"}, {}));
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

}  // namespace
