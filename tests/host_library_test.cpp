// Loading the module library, and the host's reading of default texts.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "host/host_instance.h"
#include "host/module_library.h"
#include "host/render.h"

namespace vorbel {
namespace {

using ::testing::AllOf;
using ::testing::HasSubstr;

TEST(ModuleLibraryTest, LoadFailuresNameThePathAndTheCause) {
  struct Case {
    const char* path;
    const char* cause;
  };
  const Case cases[] = {
      {"/nonexistent/folder/vorbel.so", "cannot load"},
      {HOST_TEST_MODULE_WITHOUT_MAKE_PATH, "does not export 'makeModule'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    std::string error;
    EXPECT_EQ(ModuleLibrary::Load(c.path, &error), nullptr);
    EXPECT_THAT(error, AllOf(HasSubstr(c.path), HasSubstr(c.cause)));
  }
}

TEST(ModuleLibraryTest, LoadsBothEntryPoints) {
  std::string error;
  std::unique_ptr<ModuleLibrary> library = ModuleLibrary::Load(HOST_TEST_MODULE_PATH, &error);
  ASSERT_NE(library, nullptr) << error;
  SEModuleDescription description{};
  EXPECT_NE(library->getModuleProperties()(0, &description), 0);
  EXPECT_STREQ(description.id, "host-test-module");
  EXPECT_EQ(library->getModuleProperties()(1, &description), 0);
}

TEST(ModuleLibraryTest, DefaultPathFindsTheBuiltModuleBesideThisProgram) {
  const std::string path = DefaultModulePath();
#if defined(_WIN32)
  EXPECT_THAT(path, ::testing::EndsWith("\\vorbel.dll"));  // GetModuleFileName's folder
#else
  EXPECT_THAT(path, ::testing::EndsWith("/vorbel.so"));
#endif
  std::string error;
  std::unique_ptr<ModuleLibrary> library = ModuleLibrary::Load(path, &error);
  ASSERT_NE(library, nullptr) << error;

  // The real module can be driven through the whole host sequence.
  SEModuleDescription description{};
  ASSERT_NE(library->getModuleProperties()(0, &description), 0);
  std::unique_ptr<HostInstance> instance = HostInstance::Create(*library, &error);
  ASSERT_NE(instance, nullptr) << error;
  ASSERT_FALSE(instance->Pins().empty());
  instance->SetSampleRate(44100.0f);
  instance->Open();
  StreamSet streams = StreamSet::ForInstance(*instance, 256);
  RenderBlocks(*instance, streams, {64});
  EXPECT_EQ(instance->clock(), 256);
  instance->Close();
  EXPECT_TRUE(instance->closed());
}

TEST(DefaultStreamValueTest, ReadsVoltsOverTen) {
  struct Case {
    const char* text;
    float value;
  };
  const Case cases[] = {
      {"3", 0.3f},      {"1.7", 0.17f}, {"0", 0.0f},     {"10", 1.0f},  {"-5", -0.5f},
      {"2.5 V", 0.25f}, {"", 0.0f},     {nullptr, 0.0f}, {"abc", 0.0f},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text != nullptr ? c.text : "(null)");
    EXPECT_EQ(DefaultStreamValue(c.text), c.value);
  }
}

}  // namespace
}  // namespace vorbel
