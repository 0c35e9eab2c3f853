// Helpers of the MIME tests: sources over test text and a compact, readable
// rendering of a part tree.
#pragma once

#include <memory>
#include <sstream>
#include <string>

#include "mime/mime.hpp"

namespace quorvane::testing {

inline engine::mime::source_pointer source_of(const std::string& text) {
    return std::make_shared<std::istringstream>(text);
}

// The raw bytes of a window.
inline std::string window_text(const std::string& message, const engine::mime::window_type& w) {
    return message.substr(static_cast<std::size_t>(w.begin), static_cast<std::size_t>(w.length()));
}

inline std::string escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

// One line per part in pre-order, indented by depth: type/subtype, then a
// leaf's decoded content in brackets, a multipart's preamble and epilogue.
inline std::string render(const engine::mime::source_pointer& source, const std::string& message,
                          const engine::mime::parts::generic_type* root) {
    namespace parts = engine::mime::parts;
    std::string out;
    std::vector<std::pair<int, const parts::generic_type*>> stack{{0, root}};
    while (!stack.empty()) {
        auto [depth, part] = stack.back();
        stack.pop_back();
        out.append(static_cast<std::size_t>(depth) * 2, ' ');
        if (part == nullptr) {
            out += "(empty)\n";
            continue;
        }
        out += part->type + "/" + part->subtype;
        if (auto* multipart = dynamic_cast<const parts::multipart_type*>(part)) {
            out += " pre[" + escaped(window_text(message, multipart->preamble)) + "] epi[" +
                   escaped(window_text(message, multipart->epilogue)) + "]\n";
            for (auto c = multipart->children.rbegin(); c != multipart->children.rend(); ++c)
                stack.emplace_back(depth + 1, *c);
        } else if (auto* encapsulated = dynamic_cast<const parts::encapsulated_type*>(part)) {
            out += "\n";
            stack.emplace_back(depth + 1, encapsulated->message);
        } else {
            out += " [" + escaped(engine::mime::read(source, *part)) + "]\n";
        }
    }
    return out;
}

// Parses a message and renders its tree.
inline std::string structure_of(const std::string& message) {
    auto source = source_of(message);
    engine::mime::tree_pointer root;
    if (!engine::mime::create(*source, root)) return "refused";
    return render(source, message, root.get());
}

}  // namespace quorvane::testing
