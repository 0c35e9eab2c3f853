// The language entries of the shipped library, reached the way the gateway
// reaches them.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include "qvse_types.h"

namespace {

using resolve_function = const void* (*)(const char*, std::size_t, unsigned);

TEST(LanguageLibrary, EntriesResolveAndRefuseWithoutTheirSlots) {
    void* library = ::dlopen(QV_ENGINE_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << ::dlerror();
    const auto resolve = reinterpret_cast<resolve_function>(::dlsym(library, "resolve"));
    ASSERT_NE(resolve, nullptr);
    const auto enumerate = reinterpret_cast<unsigned (*)()>(resolve("language::enumerate", 19, 0));
    const auto classify =
        reinterpret_cast<unsigned (*)(void*)>(resolve("language::classify", 18, 0));
    ASSERT_TRUE(enumerate && classify);
    // No table has been given: both language slots are null.
    int cell = 0;
    EXPECT_EQ(enumerate(), unsigned(QVSE_E_INVALID_ARGUMENT));
    EXPECT_EQ(classify(&cell), unsigned(QVSE_E_INVALID_ARGUMENT));
    ASSERT_EQ(::dlclose(library), 0);
}

}  // namespace
