// The fingerprints of whole messages, made by the engine itself (loaded
// through the gateway), as the real servers make them of what is reported to
// them. One per process: the gateway holds one engine.
#pragma once

#include <string>
#include <vector>

#include "classification_server.hpp"

namespace quorvane::standins::classification_server {

class engine_fingerprinter {
public:
    // Loads the engine from the directory that holds its library; throws
    // when it cannot be started.
    explicit engine_fingerprinter(const std::string& directory);
    ~engine_fingerprinter();
    engine_fingerprinter(const engine_fingerprinter&) = delete;
    engine_fingerprinter& operator=(const engine_fingerprinter&) = delete;

    // Binds and prepares the message; throws when the engine refuses it.
    std::vector<fingerprint_type> operator()(const std::string& message) const;
};

// A fingerprint's wire bytes from the category text and value text that the
// engine reports: dotted decimal, unpadded Base64 of a digest, or the link.
// Nothing for a category or value that cannot be read.
std::optional<fingerprint_type> fingerprint_from_text(const std::wstring& category,
                                                      const std::wstring& value);

}  // namespace quorvane::standins::classification_server
