// The wallboard's files (web/), embedded in the binary at build time (cmake/EmbedWeb.cmake
// generates their definition), so nothing is installed beside the relay and the page works
// offline. Constant data; any thread.
#pragma once

#include <cstddef>

struct TWebAsset {
  const char* sName;         // file name in web/, e.g. "index.html"
  const char* sContentType;  // what it is served as
  const unsigned char* pData;
  size_t nSize;
};

extern const TWebAsset WEB_ASSETS[];
extern const size_t WEB_ASSET_COUNT;
