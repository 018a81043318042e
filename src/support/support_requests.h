#pragma once
// The transport of the support reporters: JSON posts and file uploads to the
// product API, each repeated once on the secondary API host when the
// primary's answer does not carry the code 0. Both go through the shared
// request layer, so TLS peers are always verified.

#include <string>

#include "server_api/curl_request.h"

namespace oru {

// POSTs `body` to the primary API host + `path` (HTTP/1.0, 10 s). When the
// answer's "code" is not the number 0, logs "[WARN] switch host domain." and
// posts the same request to the secondary host, whose answer is returned
// whatever it holds (empty when nothing arrived).
std::string PostJsonWithHostSwitch(const std::string& path, const HeaderList& headers, const std::string& body);

// Uploads `file_path` as the form part "file" to the primary API host +
// `path`, with the same switch, warning and result as above.
std::string UploadFileWithHostSwitch(const std::string& path, const HeaderList& headers,
                                     const std::string& file_path);

}  // namespace oru
