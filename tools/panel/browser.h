// Opens an address in the user's browser, one file per system.
#pragma once

#include <string>

namespace tarvelin::panel {

// False when no browser could be started.
bool OpenBrowser(const std::string& url);

}  // namespace tarvelin::panel
