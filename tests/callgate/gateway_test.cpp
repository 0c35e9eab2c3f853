// The exported interface and the loader, through the functions a client calls.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "gateway.hpp"

namespace quorvane::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class Gateway : public ::testing::Test {
protected:
    Gateway() { install_engine(fake_v1, engine.path()); }
    ~Gateway() override {
        QVSE_Context_Destroy(&cell);
        QVSE_Engine_Shutdown();
    }

    fs::path library() const { return engine.path() / QVSE_ENGINE_LIBRARY_NAME; }

    bool traced(const std::wstring& text) const {
        const auto lines = log.lines();
        return std::any_of(lines.begin(), lines.end(), [&](const auto& line) {
            return line.text == text && line.facility == L"Callgate";
        });
    }

    scratch_directory engine;
    recorder log;
    qvse_callbacks_t table = gateway_table(log);
    int cell = 0;
};

struct named_call {
    const char* name;
    std::function<unsigned()> call;
};

std::vector<named_call> engine_calls(void* context) {
    static bool flags[2];
    static std::uint32_t score;
    static std::size_t lengths[2];
    return {
        {"GetVersion",
         [] { return QVSE_Engine_GetVersion(nullptr, &lengths[0], nullptr, &lengths[1]); }},
        {"Create", [=] { return QVSE_Context_Create(context); }},
        {"Destroy", [=] { return QVSE_Context_Destroy(context); }},
        {"BindStream", [=] { return QVSE_MIME_BindStream(context); }},
        {"BindBuffer", [=] { return QVSE_MIME_BindBuffer(context, "x", 1); }},
        {"BindFile", [=] { return QVSE_MIME_BindFile(context, "x", 1); }},
        {"Connect", [] { return QVSE_Network_Connect(L"x", 1); }},
        {"Authenticate", [=] { return QVSE_Network_Authenticate(context, 0, 1, L"k", 1); }},
        {"Lookup", [=] { return QVSE_Network_Lookup(context, 10, false); }},
        {"Touch", [=] { return QVSE_Network_Touch(context, 1, 10, false); }},
        {"Report", [=] { return QVSE_Network_Report(context, true, 10, false); }},
        {"Revoke", [=] { return QVSE_Network_Revoke(context, true, 10, false); }},
        {"Prepare", [=] { return QVSE_Spam_Prepare(context); }},
        {"GetClassification",
         [=] { return QVSE_Spam_GetClassification(context, &flags[0], &flags[1], &score); }},
        {"GetCapabilities", [] { return QVSE_Language_GetCapabilities(); }},
        {"GetLanguage", [=] { return QVSE_Language_GetClassification(context); }},
        {"Shutdown", [] { return QVSE_Engine_Shutdown(); }},
    };
}

TEST_F(Gateway, EveryCallButInitializeNeedsALoadedEngine) {
    for (const auto& [name, call] : engine_calls(&cell))
        EXPECT_EQ(call(), unsigned(QVSE_E_NOT_LOADED)) << name;
    EXPECT_EQ(update(fake_v2), unsigned(QVSE_E_NOT_LOADED));

    ASSERT_EQ(initialize(engine.path(), table), unsigned(QVSE_OK));
    ASSERT_EQ(QVSE_Engine_Shutdown(), unsigned(QVSE_OK));
    for (const auto& [name, call] : engine_calls(&cell))
        EXPECT_EQ(call(), unsigned(QVSE_E_NOT_LOADED)) << name << " after shutdown";
}

TEST_F(Gateway, InitializeRefusesABadTableAndCopiesNothing) {
    for (const std::size_t size :
         {std::size_t(0), std::size_t(88), std::size_t(95), std::size_t(104)}) {
        qvse_callbacks_t wrong = table;
        wrong.size = size;
        EXPECT_EQ(initialize(engine.path(), wrong), unsigned(QVSE_E_INVALID_ARGUMENT)) << size;
    }
    EXPECT_EQ(QVSE_Engine_Initialize("", 0, nullptr), unsigned(QVSE_E_INVALID_ARGUMENT));
    EXPECT_EQ(QVSE_Engine_Initialize(nullptr, 0, &table), unsigned(QVSE_E_INVALID_ARGUMENT));
    const std::string with_nul = engine.string() + std::string(1, '\0') + "x";
    EXPECT_EQ(QVSE_Engine_Initialize(with_nul.data(), with_nul.size(), &table),
              unsigned(QVSE_E_INVALID_ARGUMENT));
    EXPECT_TRUE(log.lines().empty());
    EXPECT_FALSE(mapped(library()));
}

TEST_F(Gateway, InitializeRefusesBadDirectoriesAndMayBeRetried) {
    scratch_directory other;
    touch_file(other.path() / "file");
    fs::create_directory(other.path() / "library_is_a_folder");
    fs::create_directory(other.path() / "library_is_a_folder" / QVSE_ENGINE_LIBRARY_NAME);
    fs::create_directory(other.path() / "empty");
    const auto missing = other.path() / "missing";
    const struct {
        fs::path directory;
        std::wstring line;  // empty: no line at all
    } cases[] = {
        {missing, L"Directory \"" + missing.wstring() + L"\" does not exist"},
        {other.path() / "file",
         L"\"" + (other.path() / "file").wstring() + L"\" is not a directory"},
        {other.path() / "empty", L""},
        {other.path() / "library_is_a_folder", L""},
    };
    for (const auto& [directory, line] : cases) {
        log.clear();
        EXPECT_EQ(initialize(directory, table), unsigned(QVSE_E_NOT_FOUND)) << directory;
        const auto lines = log.lines();
        if (line.empty()) {
            EXPECT_TRUE(lines.empty()) << directory;
        } else {
            ASSERT_EQ(lines.size(), 1u) << directory;
            EXPECT_EQ(lines[0].text, line);
            EXPECT_EQ(lines[0].level, unsigned(QVSE_TRACE_FAILURE));
        }
    }
    EXPECT_EQ(initialize(engine.path(), table), unsigned(QVSE_OK));
}

TEST_F(Gateway, RelativeAndEmptyDirectoriesAreTheWorkingDirectory) {
    const auto previous = fs::current_path();
    fs::current_path(engine.path().parent_path());
    EXPECT_EQ(initialize(engine.path().filename(), table), unsigned(QVSE_OK));
    EXPECT_TRUE(traced(L"dlopen(\"" + library().wstring() + L"\") succeeded"));
    EXPECT_EQ(QVSE_Engine_Shutdown(), unsigned(QVSE_OK));
    fs::current_path(engine.path());
    EXPECT_EQ(QVSE_Engine_Initialize("", 0, &table), unsigned(QVSE_OK));
    EXPECT_EQ(QVSE_Engine_Shutdown(), unsigned(QVSE_OK));
    fs::current_path(previous);
}

TEST_F(Gateway, LibraryMustResolveEveryEntryButTouch) {
    touch_file(engine.path() / "missing-spam::classify");
    EXPECT_EQ(initialize(engine.path(), table), unsigned(QVSE_E_FAILED));
    EXPECT_TRUE(traced(L"resolve() function failed"));
    EXPECT_TRUE(traced(L"dlclose() succeeded"));
    EXPECT_FALSE(mapped(library()));

    fs::rename(engine.path() / "missing-spam::classify", engine.path() / "missing-network::touch");
    ASSERT_EQ(initialize(engine.path(), table), unsigned(QVSE_OK));
    ASSERT_EQ(QVSE_Context_Create(&cell), unsigned(QVSE_OK));
    EXPECT_EQ(QVSE_Network_Touch(&cell, 1, 10, false), unsigned(QVSE_E_FAILED));
    EXPECT_EQ(QVSE_Network_Lookup(&cell, 10, false), unsigned(QVSE_OK));
}

TEST_F(Gateway, LoaderFailuresAreTracedWithTheLoadersText) {
    // Paths are decoded from UTF-8; the loader's own text arrives one wide
    // character per byte.
    const fs::path folder = engine.path() / "caf\xc3\xa9";
    fs::create_directory(folder);
    touch_file(folder / QVSE_ENGINE_LIBRARY_NAME, "not a library");
    EXPECT_EQ(initialize(folder, table), unsigned(QVSE_E_FAILED));
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].level, unsigned(QVSE_TRACE_FAILURE));
    EXPECT_EQ(lines[1].indent, 1u);
    const std::string path = engine.string() + "/caf";
    EXPECT_EQ(lines[0].text, L"dlopen(\"" + std::wstring(path.begin(), path.end()) +
                                 L"\u00E9/libqvse.so\") failed:");
    EXPECT_NE(lines[1].text.find(L"libqvse.so"), std::wstring::npos);
    EXPECT_EQ(lines[1].text.find(L"caf\u00E9"), std::wstring::npos);
}

// A trace callback that opens a library of its own does not replace the
// loader's text that the next line carries.
std::vector<std::wstring> opening_trace_lines;
void trace_and_open(std::uint32_t, const wchar_t*, std::size_t, std::uint32_t indent,
                    const wchar_t* text, std::size_t length) {
    opening_trace_lines.emplace_back(text, length);
    if (indent == 0) ::dlopen("libqv-no-such-library.so", RTLD_NOW);
}

TEST_F(Gateway, TheLoadersTextIsReadBeforeAnyLineGoesOut) {
    touch_file(library(), "not a library");
    qvse_callbacks_t opening{};
    opening.size = sizeof opening;
    opening.trace = &trace_and_open;
    opening_trace_lines.clear();
    EXPECT_EQ(initialize(engine.path(), opening), unsigned(QVSE_E_FAILED));
    ASSERT_EQ(opening_trace_lines.size(), 2u);
    EXPECT_NE(opening_trace_lines[1].find(L"libqvse.so"), std::wstring::npos)
        << "the loader's text was replaced";
    EXPECT_EQ(opening_trace_lines[1].find(L"no-such-library"), std::wstring::npos);
}

TEST_F(Gateway, InitializeTwiceLeavesTheRunningEngineAlone) {
    ASSERT_EQ(initialize(engine.path(), table), unsigned(QVSE_OK));
    ASSERT_EQ(QVSE_Context_Create(&cell), unsigned(QVSE_OK));
    EXPECT_EQ(initialize(engine.path(), table), unsigned(QVSE_E_ALREADY_INITIALIZED));
    EXPECT_EQ(QVSE_Context_Create(&cell), unsigned(QVSE_E_IN_USE));
}

TEST_F(Gateway, FailedEngineInitializeLeavesNothingLoaded) {
    touch_file(engine.path() / "fail-initialize");
    EXPECT_EQ(initialize(engine.path(), table), unsigned(QVSE_E_FAILED));
    EXPECT_FALSE(loaded(library()));
    EXPECT_EQ(QVSE_Context_Create(&cell), unsigned(QVSE_E_NOT_LOADED));
    EXPECT_EQ(QVSE_Engine_Shutdown(), unsigned(QVSE_E_NOT_LOADED));

    fs::remove(engine.path() / "fail-initialize");
    EXPECT_EQ(initialize(engine.path(), table), unsigned(QVSE_OK));
    EXPECT_EQ(engine_version().name, L"fake-1");
}

TEST_F(Gateway, ShutdownWaitsForTheLastContextAndReallyUnloads) {
    ASSERT_EQ(initialize(engine.path(), table), unsigned(QVSE_OK));
    EXPECT_TRUE(traced(L"Starting monitor thread"));
    ASSERT_EQ(QVSE_Context_Create(&cell), unsigned(QVSE_OK));
    EXPECT_EQ(QVSE_Engine_Shutdown(), unsigned(QVSE_E_IN_USE));
    EXPECT_EQ(QVSE_Spam_Prepare(&cell), unsigned(QVSE_E_NO_MESSAGE));
    ASSERT_EQ(QVSE_Context_Destroy(&cell), unsigned(QVSE_OK));
    EXPECT_EQ(QVSE_Engine_Shutdown(), unsigned(QVSE_OK));
    EXPECT_TRUE(traced(L"Stopping monitor thread"));
    EXPECT_FALSE(loaded(library())) << "the engine stays loaded after shutdown";
    EXPECT_FALSE(mapped(library())) << "the engine stays mapped after shutdown";

    // The table copy is gone: nothing more is traced.
    log.clear();
    EXPECT_EQ(QVSE_Engine_Shutdown(), unsigned(QVSE_E_NOT_LOADED));
    EXPECT_TRUE(log.lines().empty());
    EXPECT_EQ(initialize(engine.path(), table), unsigned(QVSE_OK));
}

TEST_F(Gateway, FailedEngineShutdownKeepsTheLibraryForAnotherTry) {
    ASSERT_EQ(initialize(engine.path(), table), unsigned(QVSE_OK));
    touch_file(engine.path() / "fail-shutdown");
    EXPECT_EQ(QVSE_Engine_Shutdown(), unsigned(QVSE_E_FAILED));
    EXPECT_TRUE(mapped(library()));
    EXPECT_EQ(initialize(engine.path(), table), unsigned(QVSE_E_ALREADY_INITIALIZED));
    EXPECT_EQ(QVSE_Context_Create(&cell), unsigned(QVSE_OK));
    EXPECT_EQ(QVSE_Context_Destroy(&cell), unsigned(QVSE_OK));
    fs::remove(engine.path() / "fail-shutdown");
    EXPECT_EQ(QVSE_Engine_Shutdown(), unsigned(QVSE_OK));
    EXPECT_FALSE(mapped(library()));
}

TEST_F(Gateway, ForwardsArgumentsAndEngineCodesUnchanged) {
    table.language_enumerated = [](const wchar_t*, std::size_t, std::uint32_t, std::uint32_t) {};
    ASSERT_EQ(initialize(engine.path(), table), unsigned(QVSE_OK));
    int stranger = 0;
    bool whitelisted = true, blacklisted = false;
    std::uint32_t score = 7;
    const struct {
        const char* step;
        std::function<unsigned()> call;
        unsigned expected;
    } steps[] = {
        {"create", [&] { return QVSE_Context_Create(&cell); }, QVSE_OK},
        {"create again", [&] { return QVSE_Context_Create(&cell); }, QVSE_E_IN_USE},
        {"prepare unbound", [&] { return QVSE_Spam_Prepare(&cell); }, QVSE_E_NO_MESSAGE},
        {"stream without slot", [&] { return QVSE_MIME_BindStream(&cell); },
         QVSE_E_INVALID_ARGUMENT},
        {"bind null", [&] { return QVSE_MIME_BindBuffer(&cell, nullptr, 0); },
         QVSE_E_INVALID_ARGUMENT},
        {"bind", [&] { return QVSE_MIME_BindBuffer(&cell, "m", 1); }, QVSE_OK},
        {"bind again", [&] { return QVSE_MIME_BindFile(&cell, "m", 1); }, QVSE_E_MESSAGE_BOUND},
        {"touch over 100", [&] { return QVSE_Network_Touch(&cell, 101, 10, false); },
         QVSE_E_INVALID_ARGUMENT},
        {"lookup no time", [&] { return QVSE_Network_Lookup(&cell, 0, true); },
         QVSE_E_INVALID_ARGUMENT},
        {"unknown context", [&] { return QVSE_Spam_Prepare(&stranger); }, QVSE_E_UNKNOWN_CONTEXT},
        {"prepare", [&] { return QVSE_Spam_Prepare(&cell); }, QVSE_OK},
        {"classify",
         [&] { return QVSE_Spam_GetClassification(&cell, &whitelisted, &blacklisted, &score); },
         QVSE_OK},
        {"language without slot", [&] { return QVSE_Language_GetClassification(&cell); },
         QVSE_E_INVALID_ARGUMENT},
        {"capabilities", [&] { return QVSE_Language_GetCapabilities(); }, QVSE_OK},
        {"destroy", [&] { return QVSE_Context_Destroy(&cell); }, QVSE_OK},
        {"destroy again", [&] { return QVSE_Context_Destroy(&cell); }, QVSE_E_UNKNOWN_CONTEXT},
    };
    for (const auto& [step, call, expected] : steps) EXPECT_EQ(call(), expected) << step;
    EXPECT_FALSE(whitelisted);
    EXPECT_TRUE(blacklisted);
    EXPECT_EQ(score, 42u);
}

TEST_F(Gateway, NullOutPointersAreInvalidArguments) {
    ASSERT_EQ(initialize(engine.path(), table), unsigned(QVSE_OK));
    ASSERT_EQ(QVSE_Context_Create(&cell), unsigned(QVSE_OK));
    ASSERT_EQ(QVSE_MIME_BindBuffer(&cell, "m", 1), unsigned(QVSE_OK));
    bool flag = false;
    std::uint32_t score = 0;
    std::size_t length = 0;
    const std::function<unsigned()> calls[] = {
        [&] { return QVSE_Engine_GetVersion(nullptr, nullptr, nullptr, &length); },
        [&] { return QVSE_Engine_GetVersion(nullptr, &length, nullptr, nullptr); },
        [&] { return QVSE_Spam_GetClassification(&cell, nullptr, &flag, &score); },
        [&] { return QVSE_Spam_GetClassification(&cell, &flag, nullptr, &score); },
        [&] { return QVSE_Spam_GetClassification(&cell, &flag, &flag, nullptr); },
    };
    for (const auto& call : calls) EXPECT_EQ(call(), unsigned(QVSE_E_INVALID_ARGUMENT));
}

TEST_F(Gateway, VersionReportsTheNeededLengths) {
    ASSERT_EQ(initialize(engine.path(), table), unsigned(QVSE_OK));
    std::size_t version_length = 0, description_length = 0;
    EXPECT_EQ(QVSE_Engine_GetVersion(nullptr, &version_length, nullptr, &description_length),
              unsigned(QVSE_E_BUFFER_TOO_SMALL));
    EXPECT_EQ(version_length, 6u);
    EXPECT_EQ(description_length, 1u);
    const auto version = engine_version();
    EXPECT_EQ(version.name, L"fake-1");
    EXPECT_EQ(version.reloads, 0u);
}

// A trace callback that calls back into the gateway on every line.
std::atomic<int> nested_calls{0};
thread_local bool inside_trace = false;

void calling_trace(std::uint32_t, const wchar_t*, std::size_t, std::uint32_t, const wchar_t*,
                   std::size_t) {
    if (inside_trace) return;
    inside_trace = true;
    int handle = 0;
    std::size_t lengths[2] = {0, 0};
    QVSE_Engine_GetVersion(nullptr, &lengths[0], nullptr, &lengths[1]);
    if (QVSE_Context_Create(&handle) == QVSE_OK) QVSE_Context_Destroy(&handle);
    EXPECT_NE(QVSE_Engine_Shutdown(), unsigned(QVSE_OK));
    EXPECT_NE(QVSE_Engine_Update("/", 1), unsigned(QVSE_OK));
    ++nested_calls;
    inside_trace = false;
}

TEST_F(Gateway, CallsFromCallbacksDoNotDeadlock) {
    watchdog guard(60s);
    table.trace = calling_trace;
    table.update_completed = [] {
        std::size_t lengths[2] = {0, 0};
        EXPECT_EQ(QVSE_Engine_GetVersion(nullptr, &lengths[0], nullptr, &lengths[1]),
                  unsigned(QVSE_E_BUFFER_TOO_SMALL));
        EXPECT_EQ(QVSE_Engine_Update("/", 1), unsigned(QVSE_E_IN_USE));
        EXPECT_EQ(QVSE_Engine_Shutdown(), unsigned(QVSE_E_IN_USE));
    };
    ASSERT_EQ(initialize(engine.path(), table), unsigned(QVSE_OK));

    // Other threads keep calling, so writers wait while the nested calls run.
    std::atomic<bool> stop{false};
    std::vector<std::thread> callers;
    for (int index = 0; index < 4; ++index)
        callers.emplace_back([&] {
            int handle = 0;
            while (!stop) {
                EXPECT_EQ(QVSE_Context_Create(&handle), unsigned(QVSE_OK));
                EXPECT_EQ(QVSE_Context_Destroy(&handle), unsigned(QVSE_OK));
            }
        });
    for (const auto& directory : {fake_v2, fake_v1}) {
        scratch_directory update_directory;
        install_engine(directory, update_directory.path());
        EXPECT_EQ(update(update_directory.path()), unsigned(QVSE_OK));
    }
    stop = true;
    for (auto& caller : callers) caller.join();
    EXPECT_EQ(QVSE_Engine_Shutdown(), unsigned(QVSE_OK));
    EXPECT_GT(nested_calls.load(), 10);
}

}  // namespace
}  // namespace quorvane::testing
