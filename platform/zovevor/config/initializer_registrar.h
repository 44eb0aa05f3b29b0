// Stand-in for the host's registry of module initializers. The host's own
// library replaces it in a host build; this one only records what modules
// registered, so tests can check a module's registration.
#ifndef ZOVEVOR_CONFIG_INITIALIZER_REGISTRAR_H_
#define ZOVEVOR_CONFIG_INITIALIZER_REGISTRAR_H_

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace zovevor {
namespace config {

// Contexts in which the host runs a module's initializer, as bits.
enum EInitializerContextFlags : uint32_t {
  kInitializerContextNone = 0,
};

// One dependency of a module: a kind byte and the name of the module depended on.
struct __attribute__((visibility("default"))) DependencyNamePacket {
  uint8_t kind;
  const char* name;
};

class __attribute__((visibility("default"))) InitializerRegistrar {
 public:
  static constexpr int kMaxDependencies = 16;

  // What one registration handed over, copied.
  struct Record {
    std::string name;
    EInitializerContextFlags flags;
    std::function<bool()> initialize;
    std::function<void()> shutdown;
    std::function<void()> reset;
    std::vector<DependencyNamePacket> dependencies;
    bool active;  // false once the registrar was destroyed (module unloaded)
  };

  InitializerRegistrar(const char* name, EInitializerContextFlags flags,
                       const std::function<bool()>& initialize,
                       const std::function<void()>& shutdown, const std::function<void()>& reset,
                       const DependencyNamePacket (&dependencies)[kMaxDependencies]);
  virtual ~InitializerRegistrar();

  InitializerRegistrar(const InitializerRegistrar&) = delete;
  InitializerRegistrar& operator=(const InitializerRegistrar&) = delete;

  // Every registration made in this process so far, in order.
  static const std::vector<Record>& registrations();

 private:
  std::size_t index_;
};

}  // namespace config
}  // namespace zovevor

#endif  // ZOVEVOR_CONFIG_INITIALIZER_REGISTRAR_H_
