#include <unicode/putil.h>
#include <unicode/uclean.h>
#include <unicode/utypes.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>

#include "../callbacks.hpp"
#include "../coding.hpp"
#include "../entry_table.hpp"
#include "../frame.hpp"
#include "../html/html.hpp"
#include "../language/language.hpp"
#include "../locale.hpp"
#include "../network/network.hpp"
#include "../uri/finder.hpp"
#include "trace.hpp"
#include "../lasting.hpp"

namespace quorvane::engine::principal {

const std::wstring& facility = lasting::make<const std::wstring>(L"Principal");

namespace {

const std::wstring& build_version = lasting::make<const std::wstring>(L"4.0.0.39684");
const std::wstring& build_description = lasting::make<const std::wstring>(L"trunk_20131016.4");

// Set when the engine directory holds ICU's data and ICU was pointed at it.
// Otherwise ICU is the system's, shared with the rest of the process (Qt),
// and is neither redirected nor cleaned up here.
bool owns_icu_data = false;

bool holds_icu_data(const std::filesystem::path& directory) {
    std::error_code error;
    return std::filesystem::exists(directory / (U_ICUDATA_NAME ".dat"), error) ||
           std::filesystem::is_directory(directory / U_ICUDATA_NAME, error);
}

// What the first message would otherwise pay for: the locale, the Unicode
// library's data for normalisation, folding and word boundaries, the common
// charsets, the HTML and link grammars, and the language data.
void warm_up() {
    locale::generate();
    std::set<std::wstring> links;
    std::wstring plain;
    html::convert(L"<p>a <a href=\"http://example.org/\">b</a> &amp;</p>", plain, links);
    uri::extract(plain, links);
    const std::wstring text = locale::fold_case(locale::normalize(L"Stra\u00DFe e\u0301t\u00E9"));
    locale::index_words(text);
    for (const char* charset : {"us-ascii", "iso-8859-1", "windows-1252", "utf-8"})
        coding::decode("text", charset);
    language::data();
}

}  // namespace

unsigned initialize(const char* directory, std::size_t directory_length,
                    const qvse_callbacks_t& table) {
    return frame(facility, [&]() -> unsigned {
        if (directory == nullptr || table.size != sizeof(qvse_callbacks_t))
            return QVSE_E_INVALID_ARGUMENT;
        std::memcpy(&callbacks, &table, sizeof callbacks);
        trace::write(QVSE_TRACE_INFO, facility, 0,
                     boost::wformat(L"%1% %2% (%3%)") % L"Quorvane Scanning Engine" %
                         build_version % build_description);
        const std::string path =
            coding::to_utf8(coding::to_wide(std::string_view(directory, directory_length)));
        if (holds_icu_data(path)) {
            u_setDataDirectory(path.c_str());
            owns_icu_data = true;
        }
        warm_up();
        return network::initialize();
    });
}

unsigned shutdown() {
    return frame(facility, [&]() -> unsigned {
        const unsigned result = network::shutdown();
        // Made again on the next message, should the host go on.
        locale::release_services();
        if (result == QVSE_OK && owns_icu_data) {
            u_cleanup();
            owns_icu_data = false;
        }
        return result;
    });
}

unsigned suspend(void*& state, std::size_t& size) {
    return frame(facility, [&]() -> unsigned {
        trace::write(QVSE_TRACE_INFO, facility, 0, std::wstring(L"Suspending to state buffer"));
        const std::string text = network::save_servers();
        size = text.size();
        void* block = std::malloc(text.empty() ? 1 : text.size());
        if (block == nullptr) {
            state = nullptr;
            return QVSE_E_OUT_OF_MEMORY;
        }
        std::memcpy(block, text.data(), text.size());
        state = block;
        return QVSE_OK;
    });
}

unsigned resume(void* state, std::size_t size) {
    return frame(facility, [&]() -> unsigned {
        if (state == nullptr || size == 0) return QVSE_OK;
        trace::write(QVSE_TRACE_INFO, facility, 0, std::wstring(L"Resuming from state buffer"));
        std::string text;
        try {
            text.assign(static_cast<const char*>(state), size);
        } catch (...) {
            std::free(state);
            throw;
        }
        std::free(state);  // taken back whatever the restore makes of it
        network::restore_servers(text);
        return QVSE_OK;
    });
}

unsigned version(wchar_t* version, std::size_t& version_length, wchar_t* description,
                 std::size_t& description_length) {
    return frame(facility, [&]() -> unsigned {
        if ((version == nullptr && version_length != 0) ||
            (description == nullptr && description_length != 0))
            return QVSE_E_INVALID_ARGUMENT;
        const bool fits = version_length >= build_version.size() &&
                          description_length >= build_description.size();
        version_length = build_version.size();
        description_length = build_description.size();
        if (!fits) return QVSE_E_BUFFER_TOO_SMALL;
        std::wmemcpy(version, build_version.data(), build_version.size());
        std::wmemcpy(description, build_description.data(), build_description.size());
        return QVSE_OK;
    });
}

}  // namespace quorvane::engine::principal
