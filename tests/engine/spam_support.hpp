// Helpers of the spam tests: a context whose message is bound the way
// binding binds it, and the fingerprints and heuristics it ends up with.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <boost/locale/conversion.hpp>

#include "coding.hpp"
#include "context/context.hpp"
#include "entry_table.hpp"
#include "hashes/md5.hpp"
#include "locale.hpp"
#include "locale.hpp"
#include "mime/mime.hpp"

namespace quorvane::testing {

inline std::wstring fold(const std::wstring& text) {
    const auto locale = engine::locale::generate();
    return boost::locale::fold_case(boost::locale::normalize(text, boost::locale::norm_nfc, locale),
                                    locale);
}

// The Base64 text of the MD5 of some bytes: what a digest fingerprint shows.
inline std::wstring digest_text(const std::string& bytes) {
    return engine::coding::encode::transform(
        engine::hashes::md5_of(bytes.data(), bytes.size()).bytes);
}

// One context, created on construction and destroyed with the object. The
// message is parsed and the text, links and word index are set as binding
// sets them.
class bound_context {
public:
    explicit bound_context(const std::string& message, const std::wstring& text = L"",
                           std::set<std::wstring> uris = {})
        : message_(message) {
        EXPECT_EQ(engine::context::create(handle()), unsigned(QVSE_OK));
        EXPECT_EQ(engine::context::get(handle(), record_), unsigned(QVSE_OK));
        auto source = std::make_shared<std::istringstream>(message_);
        EXPECT_TRUE(engine::mime::create(*source, record_->root, record_));
        record_->source = source;
        record_->message = engine::mime::unwrap(record_->root.get());
        record_->displayable = engine::mime::displayable(record_->message);
        set_text(text);
        record_->uris = std::move(uris);
    }
    // A context without a message.
    bound_context() {
        EXPECT_EQ(engine::context::create(handle()), unsigned(QVSE_OK));
        EXPECT_EQ(engine::context::get(handle(), record_), unsigned(QVSE_OK));
    }
    ~bound_context() {
        record_.reset();
        EXPECT_EQ(engine::context::destroy(handle()), unsigned(QVSE_OK));
    }
    bound_context(const bound_context&) = delete;
    bound_context& operator=(const bound_context&) = delete;

    void* handle() { return &cell_; }
    engine::context::record_type& record() { return *record_; }

    void set_text(const std::wstring& text) {
        record_->text = text;
        record_->folded = fold(text);
        record_->words.reset();
        if (!record_->folded.empty())
            record_->words = engine::locale::index_words(record_->folded);
    }

    // "category text" of each fingerprint, in list order.
    std::vector<std::wstring> fingerprints() const {
        std::vector<std::wstring> out;
        for (const auto& f : record_->fingerprints) out.push_back(f.category() + L" " + f.text);
        return out;
    }
    std::vector<std::wstring> heuristics() const {
        std::vector<std::wstring> out;
        for (const auto& h : record_->heuristics) out.push_back(h.name);
        return out;
    }

private:
    std::uint64_t cell_ = 0;
    std::string message_;  // outlives the parts that read it
    engine::context::record_pointer record_;
};

}  // namespace quorvane::testing
