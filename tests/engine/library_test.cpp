// The shipped library, loaded the way the gateway loads it.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstdlib>
#include <cstring>

#include "qvse_types.h"

namespace {

using resolve_function = const void* (*)(const char*, std::size_t, unsigned);

TEST(Library, ResolvesAndReallyUnloads) {
    void* library = ::dlopen(QV_ENGINE_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << ::dlerror();
    const auto resolve = reinterpret_cast<resolve_function>(::dlsym(library, "resolve"));
    ASSERT_NE(resolve, nullptr);
    using create_function = unsigned (*)(void*);
    using drained_function = bool (*)();
    const auto create = reinterpret_cast<create_function>(resolve("context::create", 15, 0));
    const auto destroy = reinterpret_cast<create_function>(resolve("context::destroy", 16, 0));
    const auto drained = reinterpret_cast<drained_function>(resolve("context::drained", 16, 0));
    ASSERT_TRUE(create && destroy && drained);
    int cell = 0;
    EXPECT_EQ(create(&cell), unsigned(QVSE_OK));
    EXPECT_FALSE(drained());
    EXPECT_EQ(destroy(&cell), unsigned(QVSE_OK));
    EXPECT_TRUE(drained());

    ASSERT_EQ(::dlclose(library), 0);
    EXPECT_EQ(::dlopen(QV_ENGINE_LIBRARY_PATH, RTLD_NOW | RTLD_NOLOAD), nullptr)
        << "the engine stays mapped after dlclose";
}

// Started and never shut down: unloading the engine, or ending the process,
// stops its network worker instead of aborting.
void start_then_leave(bool unload_first) {
    void* library = ::dlopen(QV_ENGINE_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) std::_Exit(2);
    const auto resolve = reinterpret_cast<resolve_function>(::dlsym(library, "resolve"));
    using initialize_function = unsigned (*)(const char*, std::size_t, const qvse_callbacks_t&);
    const auto initialize =
        reinterpret_cast<initialize_function>(resolve("principal::initialize", 21, 0));
    if (initialize == nullptr) std::_Exit(3);
    qvse_callbacks_t table{};
    table.size = sizeof table;
    const char directory[] = "/nonexistent";
    if (initialize(directory, sizeof directory - 1, table) != QVSE_OK) std::_Exit(4);
    if (unload_first && ::dlclose(library) != 0) std::_Exit(5);
    std::exit(0);
}

TEST(LibraryDeathTest, LeavingWithoutShutdownEndsCleanly) {
    EXPECT_EXIT(start_then_leave(false), ::testing::ExitedWithCode(0), "") << "exit";
    EXPECT_EXIT(start_then_leave(true), ::testing::ExitedWithCode(0), "") << "unload, then exit";
}

TEST(Library, FileNameIsTheOneConstant) {
    const char* path = QV_ENGINE_LIBRARY_PATH;
    const char* name = std::strrchr(path, '/');
    ASSERT_NE(name, nullptr);
    EXPECT_STREQ(name + 1, QVSE_ENGINE_LIBRARY_NAME);
}

}  // namespace
