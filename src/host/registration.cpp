// Announces the library to the host's registry of module initializers when the
// library is loaded; the registrar is destroyed when it is unloaded.
#include <functional>

#include "zovevor/config/initializer_registrar.h"

namespace {

using zovevor::config::DependencyNamePacket;
using zovevor::config::EInitializerContextFlags;
using zovevor::config::InitializerRegistrar;

// No dependencies: every packet zero.
const DependencyNamePacket kNoDependencies[InitializerRegistrar::kMaxDependencies] = {};

// Context flag 4 is the one the host expects of this module. The exported
// classes need no set-up, so the initializer only reports success and the
// other two callbacks stay empty.
const InitializerRegistrar registrar("tso_audio", static_cast<EInitializerContextFlags>(4),
                                     std::function<bool()>([] { return true; }),
                                     std::function<void()>(), std::function<void()>(),
                                     kNoDependencies);

}  // namespace
