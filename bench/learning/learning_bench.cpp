// How well the classification server's learning serves one user: mail of a
// first period is looked up as it arrives and its spam reported; mail of a
// second period is then looked up, and the table shows how much of each kind
// the engine judges spam at the application's default level (score 50 or
// more, or blacklisted, and not whitelisted).
//
//   learning_bench ENGINE_DIR HOST CORPUS [--no-reports | --explain]
//
// --no-reports reports nothing: what the engine finds without learning.
// --explain prints, for each ordinary message judged spam, the answers that
// weighed.
// HOST runs the server on the engine's fixed port; the bench authenticates as
// identity 10, user 0, secret "bench". CORPUS comes from make_periods.py.
// bench/learning/run.sh fetches the corpus, starts the server and runs this.
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "callgate.h"

namespace {

struct message_type {
    char period = '1';
    char kind = 'e';
    std::string data;
};

std::vector<message_type> read_corpus(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    std::vector<message_type> messages;
    for (;;) {
        std::array<unsigned char, 6> head{};
        if (!in.read(reinterpret_cast<char*>(head.data()), head.size())) break;
        const std::uint32_t length =
            head[2] | head[3] << 8 | head[4] << 16 | static_cast<std::uint32_t>(head[5]) << 24;
        message_type message{static_cast<char>(head[0]), static_cast<char>(head[1]),
                             std::string(length, '\0')};
        if (!in.read(message.data.data(), length)) throw std::runtime_error("truncated corpus");
        messages.push_back(std::move(message));
    }
    return messages;
}

void on_completed(void*, std::uint32_t) {}

// The weighing lines of the message being judged (with --explain).
std::vector<std::wstring> weighed;
bool explaining = false;

void on_context_trace(void*, std::uint32_t, const wchar_t*, std::size_t, std::uint32_t,
                      const wchar_t* text, std::size_t length) {
    if (!explaining) return;
    const std::wstring line(text, length);
    if (line.find(L"(Weight") != std::wstring::npos ||
        line.find(L"(Blacklisted)") != std::wstring::npos)
        weighed.push_back(line);
}

constexpr wchar_t secret[] = L"bench";

struct verdict_type {
    bool looked_up = false;
    bool spam = false;
};

// One message through the engine as the application takes it; reported
// afterwards when asked.
verdict_type judge(const std::string& message, bool report) {
    long cell = 0;
    void* const handle = &cell;
    verdict_type verdict;
    weighed.clear();
    if (QVSE_Context_Create(handle) != QVSE_OK) throw std::runtime_error("no context");
    if (QVSE_MIME_BindBuffer(handle, message.data(), message.size()) == QVSE_OK &&
        QVSE_Network_Authenticate(handle, 10, 0, secret, std::wcslen(secret)) == QVSE_OK &&
        QVSE_Spam_Prepare(handle) == QVSE_OK) {
        verdict.looked_up = QVSE_Network_Lookup(handle, 5000, false) == QVSE_OK;
        bool whitelisted = false, blacklisted = false;
        std::uint32_t score = 0;
        if (QVSE_Spam_GetClassification(handle, &whitelisted, &blacklisted, &score) == QVSE_OK)
            verdict.spam = !whitelisted && (blacklisted || score >= 50);
        if (report && QVSE_Network_Report(handle, false, 30000, false) != QVSE_OK)
            std::cerr << "a report failed\n";
    }
    while (QVSE_Context_Destroy(handle) == QVSE_E_IN_USE) std::this_thread::yield();
    return verdict;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const bool reports = !(argc == 5 && std::strcmp(argv[4], "--no-reports") == 0);
        explaining = argc == 5 && std::strcmp(argv[4], "--explain") == 0;
        if (argc != 4 && reports && !explaining) {
            std::cerr
                << "usage: learning_bench ENGINE_DIR HOST CORPUS [--no-reports | --explain]\n";
            return 2;
        }
        const std::string directory = argv[1];
        const std::string host_text = argv[2];
        const std::wstring host(host_text.begin(), host_text.end());
        const auto messages = read_corpus(argv[3]);

        qvse_callbacks_t table{};
        table.size = sizeof table;
        table.network_completed = &on_completed;
        table.context_trace = &on_context_trace;
        if (QVSE_Engine_Initialize(directory.data(), directory.size(), &table) != QVSE_OK)
            throw std::runtime_error("the engine in " + directory + " does not start");
        if (QVSE_Network_Connect(host.data(), host.size()) != QVSE_OK)
            throw std::runtime_error("no connection");
        // The connection probes the server first: wait until a lookup is answered.
        const std::string probe =
            "Subject: probe\r\n\r\nA probe of the server, with a few words to look up.\r\n";
        for (int tries = 0; !judge(probe, false).looked_up; ++tries) {
            if (tries == 100)
                throw std::runtime_error("the server at " + host_text + " does not answer");
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }

        struct tally_type {
            unsigned messages = 0, spam = 0, failed = 0;
        };
        std::map<std::pair<char, char>, tally_type> tally;
        const auto started = std::chrono::steady_clock::now();
        for (const auto& message : messages) {
            const auto verdict =
                judge(message.data, reports && message.period == '1' && message.kind == 's');
            if (explaining && verdict.spam && message.kind != 's') {
                std::printf("%c%c judged spam:\n", message.period, message.kind);
                for (const auto& line : weighed)
                    std::printf("    %s\n", std::string(line.begin(), line.end()).c_str());
            }
            auto& row = tally[{message.period, message.kind}];
            ++row.messages;
            row.spam += verdict.spam;
            row.failed += !verdict.looked_up;
        }
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

        const std::map<char, const char*> names = {
            {'e', "ordinary (easy ham)"}, {'h', "hard ordinary (hard ham)"}, {'s', "spam"}};
        std::printf("%-7s %-26s %9s %14s %8s %14s\n", "period", "kind", "messages", "judged spam",
                    "rate", "lookups failed");
        for (const auto& [key, row] : tally)
            std::printf("%-7c %-26s %9u %14u %7.2f%% %14u\n", key.first, names.at(key.second),
                        row.messages, row.spam,
                        row.messages ? 100.0 * row.spam / row.messages : 0.0, row.failed);
        std::printf(
            "(period 1: looked up as it arrived, its spam %s; period 2: looked up in mixed order; "
            "%zu messages in %.1f s)\n",
            reports ? "reported" : "not reported", messages.size(), seconds);
        QVSE_Engine_Shutdown();
        return 0;
    } catch (const std::exception& error) {
        std::cerr << "learning_bench: " << error.what() << "\n";
        return 1;
    }
}
