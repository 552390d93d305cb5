#pragma once
// The live page's files, built into the program (web_assets.cpp is made at
// build time from operations/web/).
#include <cstddef>

namespace kr::collector {

struct WebAsset {
    const char* path;  // "/index.html", "/page.js", ...
    const char* content_type;
    const unsigned char* data;
    std::size_t size;
};

extern const WebAsset kWebAssets[];
extern const std::size_t kWebAssetCount;

}  // namespace kr::collector
