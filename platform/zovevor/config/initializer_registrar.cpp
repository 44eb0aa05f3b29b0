#include "zovevor/config/initializer_registrar.h"

namespace zovevor {
namespace config {

namespace {

// Built on first use, so registrars constructed during any library's static
// initialization find it ready, and it outlives them all.
std::vector<InitializerRegistrar::Record>& table() {
  static std::vector<InitializerRegistrar::Record> records;
  return records;
}

}  // namespace

InitializerRegistrar::InitializerRegistrar(
    const char* name, EInitializerContextFlags flags, const std::function<bool()>& initialize,
    const std::function<void()>& shutdown, const std::function<void()>& reset,
    const DependencyNamePacket (&dependencies)[kMaxDependencies]) {
  // The caller's wrappers and name may be temporaries: keep copies only.
  Record r{name == nullptr ? std::string() : std::string(name),
           flags,
           initialize,
           shutdown,
           reset,
           std::vector<DependencyNamePacket>(dependencies, dependencies + kMaxDependencies),
           true};
  index_ = table().size();
  table().push_back(std::move(r));
}

InitializerRegistrar::~InitializerRegistrar() { table()[index_].active = false; }

const std::vector<InitializerRegistrar::Record>& InitializerRegistrar::registrations() {
  return table();
}

}  // namespace config
}  // namespace zovevor
