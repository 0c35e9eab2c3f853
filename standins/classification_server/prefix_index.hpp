// Finds every stored key that begins a text, in time that depends on the
// text's length and not on how many keys are stored: a radix tree whose
// edges carry the runs of bytes that no two keys tell apart.
#pragma once

#include <algorithm>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace quorvane::standins::classification_server {

template <class T>
class prefix_index {
public:
    prefix_index() = default;
    prefix_index(const prefix_index&) = delete;
    prefix_index& operator=(const prefix_index&) = delete;
    // Iterative: a hostile chain of ever longer keys must not exhaust the stack.
    ~prefix_index() {
        std::vector<std::unique_ptr<node>> doomed;
        for (auto& child : root_.children) doomed.push_back(std::move(child));
        while (!doomed.empty()) {
            auto last = std::move(doomed.back());
            doomed.pop_back();
            for (auto& child : last->children) doomed.push_back(std::move(child));
        }
    }

    // Stores the value under the key, replacing the one stored there.
    void insert(const std::string& key, T* value) {
        node* at = &root_;
        std::size_t used = 0;
        while (used < key.size()) {
            auto slot = place_of(*at, key[used]);
            if (slot == at->children.end() || (*slot)->label[0] != key[used]) {
                auto leaf = std::make_unique<node>();
                leaf->label = key.substr(used);
                leaf->value = value;
                at->children.insert(slot, std::move(leaf));
                return;
            }
            node& child = **slot;
            const std::size_t common = common_length(child.label, key, used);
            if (common < child.label.size()) {
                // The key ends or parts inside the edge: split it there.
                auto middle = std::make_unique<node>();
                middle->label = child.label.substr(0, common);
                child.label.erase(0, common);
                middle->children.push_back(std::move(*slot));
                *slot = std::move(middle);
            }
            at = slot->get();
            used += common;
        }
        at->value = value;
    }

    // Forgets the key; a key not stored is no fault.
    void erase(const std::string& key) {
        std::vector<std::pair<node*, std::size_t>> path;  // parent and the child's place in it
        node* at = &root_;
        std::size_t used = 0;
        while (used < key.size()) {
            auto slot = child_of(*at, key[used]);
            if (slot == at->children.end() ||
                key.compare(used, (*slot)->label.size(), (*slot)->label) != 0)
                return;
            path.emplace_back(at, static_cast<std::size_t>(slot - at->children.begin()));
            used += (*slot)->label.size();
            at = slot->get();
        }
        at->value = nullptr;
        // Prune what no key needs any more: an empty leaf goes, a node
        // without a value and with a single child merges with it.
        while (!path.empty()) {
            auto [parent, place] = path.back();
            path.pop_back();
            node& child = *parent->children[place];
            if (child.value == nullptr && child.children.empty()) {
                parent->children.erase(parent->children.begin() +
                                       static_cast<std::ptrdiff_t>(place));
            } else if (child.value == nullptr && child.children.size() == 1) {
                auto only = std::move(child.children.front());
                only->label.insert(0, child.label);
                parent->children[place] = std::move(only);
                break;
            } else {
                break;
            }
            if (parent == &root_ || parent->value != nullptr) break;
            // The parent lost a child: it may now be empty or mergeable.
            if (parent->children.size() > 1) break;
        }
    }

    // Calls visit with the value of each stored key that begins the text
    // (the text itself included), shortest first.
    template <class Visit>
    void prefixes(const std::string& text, Visit&& visit) const {
        const node* at = &root_;
        if (at->value != nullptr) visit(at->value);
        std::size_t used = 0;
        while (used < text.size()) {
            const auto slot = child_of(*at, text[used]);
            if (slot == at->children.end() ||
                text.compare(used, (*slot)->label.size(), (*slot)->label) != 0)
                return;
            used += (*slot)->label.size();
            at = slot->get();
            if (at->value != nullptr) visit(at->value);
        }
    }

private:
    struct node {
        std::string label;                            // never empty below the root
        std::vector<std::unique_ptr<node>> children;  // ordered by their label's first byte
        T* value = nullptr;
    };
    // Where the child whose label starts with the byte is, or would go.
    template <class Node>
    static auto place_of(Node& parent, char first) {
        return std::lower_bound(parent.children.begin(), parent.children.end(), first,
                                [](const std::unique_ptr<node>& child, char byte) {
                                    return static_cast<unsigned char>(child->label[0]) <
                                           static_cast<unsigned char>(byte);
                                });
    }
    // The child whose label starts with the byte, or the end.
    template <class Node>
    static auto child_of(Node& parent, char first) {
        const auto found = place_of(parent, first);
        return found != parent.children.end() && (*found)->label[0] == first
                   ? found
                   : parent.children.end();
    }
    static std::size_t common_length(const std::string& label, const std::string& key,
                                     std::size_t from) {
        std::size_t k = 0;
        while (k < label.size() && from + k < key.size() && label[k] == key[from + k]) ++k;
        return k;
    }

    node root_;
};

}  // namespace quorvane::standins::classification_server
