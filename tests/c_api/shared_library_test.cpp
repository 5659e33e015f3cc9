// libnimbrel as a C caller loads it: the six functions are there and nothing else leaks out.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include "nimbrel/nimbrel.h"

namespace {

class SharedLibrary : public ::testing::Test {
 protected:
  void SetUp() override {
    handle_ = ::dlopen(NIMBREL_SHARED_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle_, nullptr) << ::dlerror();
  }
  void TearDown() override {
    if (handle_ != nullptr) ::dlclose(handle_);
  }
  template <typename F>
  F* symbol(const char* name) {
    return reinterpret_cast<F*>(::dlsym(handle_, name));
  }

  void* handle_ = nullptr;
};

TEST_F(SharedLibrary, ExportsTheCFunctionsAndHidesInternalSymbols) {
  for (const char* name :
       {"nimbrel_runtime_create", "nimbrel_runtime_destroy", "nimbrel_runtime_wait_for_peers",
        "nimbrel_reader_create", "nimbrel_reader_take", "nimbrel_reader_destroy"})
    EXPECT_NE(::dlsym(handle_, name), nullptr) << name;
  EXPECT_EQ(::dlsym(handle_, "_ZN7nimbrel5c_api18random_guid_prefixEv"), nullptr);
  EXPECT_EQ(::dlsym(handle_, "_ZN7nimbrel5fatalESt17basic_string_viewIcSt11char_traitsIcEE"),
            nullptr);
}

TEST_F(SharedLibrary, RoundTripThroughTheLoadedFunctions) {
  auto* create = symbol<decltype(nimbrel_runtime_create)>("nimbrel_runtime_create");
  auto* destroy = symbol<decltype(nimbrel_runtime_destroy)>("nimbrel_runtime_destroy");
  auto* reader_create = symbol<decltype(nimbrel_reader_create)>("nimbrel_reader_create");
  auto* take = symbol<decltype(nimbrel_reader_take)>("nimbrel_reader_take");
  auto* reader_destroy = symbol<decltype(nimbrel_reader_destroy)>("nimbrel_reader_destroy");
  ASSERT_TRUE(create && destroy && reader_create && take && reader_destroy);

  NimbrelRuntime* runtime = create(5);
  ASSERT_NE(runtime, nullptr);
  NimbrelReader* reader = reader_create(runtime, "Topic", "Type", 1);
  ASSERT_NE(reader, nullptr);
  std::uint8_t* buffer = nullptr;
  std::size_t length = 1;
  EXPECT_EQ(take(reader, &buffer, &length), NIMBREL_STATUS_OK);
  EXPECT_EQ(buffer, nullptr);
  EXPECT_EQ(length, 0u);
  reader_destroy(reader);
  destroy(runtime);
}

}  // namespace
