// Registration with the host: made once when the library is loaded, kept as
// the registrar's own copies, marked inactive when its registrar goes.
#include <gtest/gtest.h>

#include <memory>

#include "zovevor/config/initializer_registrar.h"

using zovevor::config::DependencyNamePacket;
using zovevor::config::EInitializerContextFlags;
using zovevor::config::InitializerRegistrar;

TEST(HostRegistration, LoadingTheLibraryRegistersTheModuleOnce) {
  const auto& all = InitializerRegistrar::registrations();
  ASSERT_FALSE(all.empty());
  std::size_t ours = 0;
  for (const auto& rec : all) ours += rec.name == "tso_audio" ? 1 : 0;
  EXPECT_EQ(ours, 1u);
  const InitializerRegistrar::Record& r = all[0];
  EXPECT_EQ(r.name, "tso_audio") << "made at load, before any test ran";
  EXPECT_TRUE(r.active);
  ASSERT_TRUE(static_cast<bool>(r.initialize));  // the library's temporaries are long gone
  EXPECT_TRUE(r.initialize());
}

TEST(HostRegistration, RegistrarKeepsCopiesAndMarksUnload) {
  auto token = std::make_shared<int>(41);
  const std::size_t before = InitializerRegistrar::registrations().size();
  {
    DependencyNamePacket deps[16] = {};
    deps[3] = {1, "fft"};
    std::string name = "probe";
    auto init = std::make_unique<std::function<bool()>>([token] { return ++*token == 42; });
    InitializerRegistrar reg(
        name.c_str(), static_cast<EInitializerContextFlags>(6), *init, [] {}, {}, deps);
    init.reset();
    name = "changed";
    deps[3].kind = 9;
    const auto& r = InitializerRegistrar::registrations()[before];
    EXPECT_EQ(r.name, "probe");
    EXPECT_EQ(r.dependencies[3].kind, 1);
    EXPECT_STREQ(r.dependencies[3].name, "fft");
    EXPECT_EQ(token.use_count(), 2) << "the registrar holds its own copy of the callback";
    EXPECT_TRUE(r.initialize());
    EXPECT_TRUE(r.active);
  }
  EXPECT_FALSE(InitializerRegistrar::registrations()[before].active);
  EXPECT_TRUE(InitializerRegistrar::registrations()[0].active);
}
