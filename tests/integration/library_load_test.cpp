// The shared library as a host program loads it: what it holds right after
// loading, and unloading it with a port open.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "virtual_board.h"

namespace {

struct Library {
  void* handle = dlopen(TARVELIN_SO, RTLD_NOW | RTLD_LOCAL);
  ~Library() {
    if (handle != nullptr) dlclose(handle);
  }
  template <typename F>
  F Get(const char* name) {
    return reinterpret_cast<F>(dlsym(handle, name));
  }
};

using IntFn = int32_t (*)();
using IntArgFn = int32_t (*)(int32_t);
using TextFn = const char* (*)();

TEST(LibraryLoad, StateAtLoad) {
  Library library;
  ASSERT_NE(library.handle, nullptr) << dlerror();
  EXPECT_EQ(library.Get<IntFn>("GetError")(), 0);
  EXPECT_STREQ(library.Get<TextFn>("GetErrorMessage")(), "");
  EXPECT_EQ(library.Get<IntFn>("GetPort")(), 1);
  EXPECT_EQ(library.Get<IntFn>("GetBaudRate")(), 9600);
  EXPECT_EQ(library.Get<IntFn>("GetValue")(), 0);
  EXPECT_EQ(library.Get<IntFn>("IntStatusL")(), 0);
  // Internal names stay hidden.
  EXPECT_EQ(dlsym(library.handle, "QelCommand"), nullptr);
  EXPECT_EQ(dlsym(library.handle, "CreateFileA"), nullptr);
}

TEST(LibraryLoad, UnloadingClosesThePort) {
  tarvelin::board::VirtualBoard board;
  ASSERT_TRUE(board.Start()) << board.Error();
  setenv("TARVELIN_COM6", board.SlavePath().c_str(), 1);
  {
    Library library;
    ASSERT_NE(library.handle, nullptr) << dlerror();
    ASSERT_EQ(library.Get<IntArgFn>("PortOpen")(6), 1);
    ASSERT_EQ(library.Get<IntFn>("IntStatusL")(), 0);
  }
  // The port was given back: another holder gets it.
  const int fd = open(board.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
  close(fd);
  Library again;
  ASSERT_NE(again.handle, nullptr);
  EXPECT_EQ(again.Get<IntFn>("GetError")(), 0);  // a fresh load, fresh state
  EXPECT_EQ(again.Get<IntArgFn>("PortOpen")(6), 1);
  EXPECT_EQ(again.Get<IntFn>("PortClose")(), 1);
}

}  // namespace
