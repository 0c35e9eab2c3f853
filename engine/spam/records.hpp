// What the engine finds out about a message: fingerprints the servers can
// recognise (each later carrying the server's answer) and heuristics that
// enter the score.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "../hashes/md5.hpp"

namespace quorvane::engine::spam {

// An optional value kept out of line: one pointer while empty. A message may
// have thousands of fingerprints, and few of them ever get an answer.
template <class T>
class boxed_optional {
public:
    boxed_optional() noexcept = default;
    boxed_optional(const boxed_optional& other) : value_(copy_of(other)) {}
    boxed_optional(boxed_optional&&) noexcept = default;
    boxed_optional& operator=(const boxed_optional& other) {
        if (this != &other) value_ = copy_of(other);
        return *this;
    }
    boxed_optional& operator=(boxed_optional&&) noexcept = default;
    boxed_optional& operator=(const T& value) {
        if (value_)
            *value_ = value;
        else
            value_ = std::make_unique<T>(value);
        return *this;
    }

    bool has_value() const noexcept { return value_ != nullptr; }
    explicit operator bool() const noexcept { return has_value(); }
    T& operator*() noexcept { return *value_; }
    const T& operator*() const noexcept { return *value_; }
    T* operator->() noexcept { return value_.get(); }
    const T* operator->() const noexcept { return value_.get(); }
    T& emplace() {
        value_ = std::make_unique<T>();
        return *value_;
    }
    void reset() noexcept { value_.reset(); }

private:
    static std::unique_ptr<T> copy_of(const boxed_optional& other) {
        return other.value_ ? std::make_unique<T>(*other.value_) : nullptr;
    }

    std::unique_ptr<T> value_;
};

struct fingerprint_type {
    enum category_type : std::uint32_t {
        relay = 0,          // "hsi": the sending relay's IPv4 address
        text_chunk = 2,     // "tbd": MD5 of a text chunk
        word_sequence = 3,  // "tsd": MD5 of a word sequence
        attachment = 4,     // "prd": MD5 of an attachment's content
        link = 64,          // "tru": a normalised, case-folded URI in UTF-8
    };

    // A server's answer for this fingerprint.
    struct match_type {
        // Smaller than data's size: only that prefix of data matched.
        std::uint64_t length = 0;
        // The server's record, sent back in touches.
        std::uint64_t id = 0;
        std::uint64_t extra = 0;
        bool ignored = false;
        bool whitelisted = false;
        bool blacklisted = false;
        std::uint64_t reports = 0;
        std::uint64_t revokes = 0;
        std::uint64_t touches = 0;
    };

    boxed_optional<match_type> match;
    category_type category_value;
    std::string data;   // the bytes sent to the server
    std::wstring text;  // the readable form

    fingerprint_type(category_type category, const hashes::digest& digest, std::wstring text)
        : category_value(category),
          data(digest.bytes.begin(), digest.bytes.end()),
          text(std::move(text)) {}
    fingerprint_type(category_type category, const std::vector<std::uint8_t>& bytes,
                     std::wstring text)
        : category_value(category), data(bytes.begin(), bytes.end()), text(std::move(text)) {}
    fingerprint_type(category_type category, std::string bytes, std::wstring text)
        : category_value(category), data(std::move(bytes)), text(std::move(text)) {}

    // The three-letter category text.
    std::wstring category() const {
        switch (category_value) {
        case relay:
            return L"hsi";
        case text_chunk:
            return L"tbd";
        case word_sequence:
            return L"tsd";
        case attachment:
            return L"prd";
        case link:
            return L"tru";
        }
        throw std::logic_error("unknown fingerprint category");
    }
};

struct heuristic_type {
    std::wstring name;
    std::wstring description;
    bool whitelisted = false;
    bool blacklisted = false;
    // Added to the score when present and neither flag is set.
    std::optional<std::uint32_t> weight;
};

}  // namespace quorvane::engine::spam
