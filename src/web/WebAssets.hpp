#pragma once
#include <string>
#include <string_view>
#include <vector>

namespace serwer {

// One file of the browser page, held in the program: its path as the browser asks for
// it ("/index.html" is served for "/", the rest under "/static/"), its content type and
// its bytes. Requests are matched against these paths only, never against a file.
struct WebAsset {
    std::string path;
    std::string contentType;
    std::string_view bytes;
};

// The page's files, built into the program.
const std::vector<WebAsset>& PageAssets();

}  // namespace serwer
