#include "engine_fingerprints.hpp"

#include <array>
#include <optional>
#include <stdexcept>
#include <thread>

#include "callgate.h"

namespace quorvane::standins::classification_server {

namespace {

// The handle of a context is the list its fingerprints go to; the engine
// reports them inside the preparation call, on the calling thread.
struct collection_type {
    std::vector<fingerprint_type> fingerprints;
};

void on_fingerprint(void* context, const wchar_t* category, std::size_t category_length,
                    const wchar_t* value, std::size_t value_length) {
    auto* collection = static_cast<collection_type*>(context);
    if (auto fingerprint =
            fingerprint_from_text({category, category_length}, {value, value_length}))
        collection->fingerprints.push_back(std::move(*fingerprint));
}

void on_language(void*, const wchar_t*, std::size_t, std::uint32_t, std::uint32_t) {}
void on_language_enumerated(const wchar_t*, std::size_t, std::uint32_t, std::uint32_t) {}
void on_completed(void*, std::uint32_t) {}

std::string utf8(const std::wstring& text) {
    std::string out;
    for (const wchar_t c : text) {
        const auto code = static_cast<std::uint32_t>(c);
        if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | code >> 6);
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            out += static_cast<char>(0xE0 | code >> 12);
            out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x110000) {
            out += static_cast<char>(0xF0 | code >> 18);
            out += static_cast<char>(0x80 | (code >> 12 & 0x3F));
            out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }
    return out;
}

std::optional<std::string> dotted_decimal(const std::wstring& text) {
    std::string out;
    std::size_t at = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0 && (at >= text.size() || text[at++] != L'.')) return std::nullopt;
        unsigned value = 0, digits = 0;
        while (at < text.size() && text[at] >= L'0' && text[at] <= L'9' && digits < 3)
            value = value * 10 + static_cast<unsigned>(text[at++] - L'0'), ++digits;
        if (digits == 0 || value > 255) return std::nullopt;
        out += static_cast<char>(value);
    }
    if (at != text.size()) return std::nullopt;
    return out;
}

// Base64 without padding, as the engine prints digests.
std::optional<std::string> digest(const std::wstring& text) {
    std::string out;
    std::uint32_t buffer = 0;
    int bits = 0;
    for (const wchar_t c : text) {
        int value;
        if (c >= L'A' && c <= L'Z')
            value = c - L'A';
        else if (c >= L'a' && c <= L'z')
            value = c - L'a' + 26;
        else if (c >= L'0' && c <= L'9')
            value = c - L'0' + 52;
        else if (c == L'+')
            value = 62;
        else if (c == L'/')
            value = 63;
        else
            return std::nullopt;
        buffer = buffer << 6 | static_cast<std::uint32_t>(value);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += static_cast<char>(buffer >> bits & 0xFF);
        }
    }
    if (out.size() != 16) return std::nullopt;
    return out;
}

}  // namespace

std::optional<fingerprint_type> fingerprint_from_text(const std::wstring& category,
                                                      const std::wstring& value) {
    std::optional<std::string> data;
    std::uint32_t number = 0;
    if (category == L"hsi")
        number = 0, data = dotted_decimal(value);
    else if (category == L"tbd")
        number = 2, data = digest(value);
    else if (category == L"tsd")
        number = 3, data = digest(value);
    else if (category == L"prd")
        number = 4, data = digest(value);
    else if (category == L"tru")
        number = 64, data = utf8(value);
    if (!data) return std::nullopt;
    return fingerprint_type{number, std::move(*data)};
}

engine_fingerprinter::engine_fingerprinter(const std::string& directory) {
    qvse_callbacks_t table{};
    table.size = sizeof table;
    table.network_completed = &on_completed;
    table.fingerprint_generated = &on_fingerprint;
    table.language_enumerated = &on_language_enumerated;
    table.language_classified = &on_language;
    const std::uint32_t result = QVSE_Engine_Initialize(directory.data(), directory.size(), &table);
    if (result != QVSE_OK)
        throw std::runtime_error("the engine in " + directory + " does not start: error " +
                                 std::to_string(result));
}

engine_fingerprinter::~engine_fingerprinter() { QVSE_Engine_Shutdown(); }

std::vector<fingerprint_type> engine_fingerprinter::operator()(const std::string& message) const {
    collection_type collection;
    void* const handle = &collection;
    std::uint32_t result = QVSE_Context_Create(handle);
    if (result != QVSE_OK) throw std::runtime_error("no context: error " + std::to_string(result));
    result = QVSE_MIME_BindBuffer(handle, message.data(), message.size());
    if (result == QVSE_OK) result = QVSE_Spam_Prepare(handle);
    while (QVSE_Context_Destroy(handle) == QVSE_E_IN_USE) std::this_thread::yield();
    if (result != QVSE_OK)
        throw std::runtime_error("the message is refused: error " + std::to_string(result));
    return std::move(collection.fingerprints);
}

}  // namespace quorvane::standins::classification_server
