#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "browser.h"

extern char** environ;

namespace tarvelin::panel {

bool OpenBrowser(const std::string& url) {
  posix_spawn_file_actions_t actions;
  if (posix_spawn_file_actions_init(&actions) != 0) return false;
  // The browser's chatter does not mix with the panel's address on standard output.
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  const char* program = "xdg-open";
  char* argv[] = {const_cast<char*>(program), const_cast<char*>(url.c_str()), nullptr};
  pid_t child = 0;
  const int failed = posix_spawnp(&child, program, &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  if (failed != 0) return false;
  int status = 0;
  // xdg-open hands the address to the browser and ends.
  return waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace tarvelin::panel
