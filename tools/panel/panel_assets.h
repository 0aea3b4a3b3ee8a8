// The page's files, built into the program (see embed.cmake).
#pragma once

#include <cstddef>
#include <vector>

namespace tarvelin::panel {

struct Asset {
  const char* path;  // the URL path, "/" for the page itself
  const char* type;  // its Content-Type
  const char* data;
  size_t size;
};

const std::vector<Asset>& Assets();

}  // namespace tarvelin::panel
