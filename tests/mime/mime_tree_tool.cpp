// Prints the part tree of each message file given, for comparison with other
// parsers: one line per part in pre-order, tab-separated:
//   path  type/subtype  charset  name  decoded-length  decoded-md5
// all lower-cased; "-" where a field does not apply. The path of the root is
// "0"; children append ".1", ".2", ...; an enclosed message appends ".1".
// Each message starts with a line "== FILE".
#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "coding.hpp"
#include "hashes/md5.hpp"
#include "mime/mime.hpp"

namespace mime = quorvane::engine::mime;
namespace parts = mime::parts;
namespace hashes = quorvane::engine::hashes;

namespace {

std::string lower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

std::string field(const std::string& text) {
    if (text.empty()) return "-";
    std::string out;
    for (char c : text) out += (c == '\t' || c == '\n' || c == '\r') ? ' ' : c;
    return out;
}

void print(const std::string& path, const parts::generic_type* part,
           const mime::source_pointer& source) {
    std::string charset = "-", name = "-", length = "-", digest = "-";
    if (auto* text = dynamic_cast<const parts::text_type*>(part)) charset = lower(text->charset);
    if (auto* attachment = dynamic_cast<const parts::attachment_type*>(part);
        attachment != nullptr && attachment->name)
        name = quorvane::engine::coding::to_utf8(*attachment->name);
    if (auto stream = mime::open(source, *part)) {
        hashes::stream_preprocessor md5;
        std::size_t total = 0;
        char block[16384];
        while (stream->read(block, sizeof block) || stream->gcount() > 0) {
            md5.update_n(block, static_cast<std::size_t>(stream->gcount()));
            total += static_cast<std::size_t>(stream->gcount());
        }
        const hashes::digest d = md5.end_message();
        char hex[33];
        for (int i = 0; i < 16; ++i) std::snprintf(hex + 2 * i, 3, "%02x", d.bytes[i]);
        length = std::to_string(total);
        digest = hex;
    }
    std::cout << path << '\t' << field(lower(part->type + "/" + part->subtype)) << '\t'
              << field(charset) << '\t' << field(name) << '\t' << length << '\t' << digest << '\n';
}

}  // namespace

int main(int argc, char** argv) {
    int status = 0;
    for (int i = 1; i < argc; ++i) {
        std::ifstream file(argv[i], std::ios::binary);
        if (!file) {
            std::cerr << "cannot open " << argv[i] << '\n';
            status = 1;
            continue;
        }
        std::ostringstream content;
        content << file.rdbuf();
        mime::source_pointer source = std::make_shared<std::istringstream>(content.str());
        mime::tree_pointer root;
        try {
            mime::create(*source, root);
        } catch (const std::exception& e) {
            std::cerr << argv[i] << ": " << e.what() << '\n';
            status = 1;
            continue;
        }
        std::cout << "== " << argv[i] << '\n';
        std::vector<std::pair<std::string, const parts::generic_type*>> stack{{"0", root.get()}};
        while (!stack.empty()) {
            auto [path, part] = stack.back();
            stack.pop_back();
            if (part == nullptr) continue;
            print(path, part, source);
            if (auto* multipart = dynamic_cast<const parts::multipart_type*>(part)) {
                for (std::size_t c = multipart->children.size(); c-- > 0;)
                    stack.emplace_back(path + "." + std::to_string(c + 1), multipart->children[c]);
            } else if (auto* encapsulated = dynamic_cast<const parts::encapsulated_type*>(part)) {
                stack.emplace_back(path + ".1", encapsulated->message);
            }
        }
    }
    return status;
}
