#include "qv/component/exports.hpp"

#include "qv/component/factory.hpp"
#include "qv/component/host_services.hpp"
#include "qv/component/library_identity.hpp"

namespace {

// Library-wide cells in which the host keeps its state of this library; zero
// until the host's first service call.
std::uint32_t first_module_word = 0;
std::uint32_t second_module_word = 0;

}  // namespace

namespace host = qv::component::host;

extern "C" std::int32_t DllRegisterServer(void) {
  return host::RegisterServer(&first_module_word, &second_module_word, qv::component::Project());
}

extern "C" std::int32_t DllUnregisterServer(void) {
  return host::UnregisterServer(&first_module_word, &second_module_word, qv::component::Project());
}

extern "C" std::int32_t DllGetClassObject(const qv::component::Guid* clsid,
                                          const qv::component::Guid* iid, void** out) {
  return host::GetClassObject(&first_module_word, &second_module_word, qv::component::Project(),
                              clsid, iid, out);
}

extern "C" std::int32_t DllCanUnloadNow(void) {
  return host::CanUnloadNow(qv::component::Project());
}

extern "C" std::int32_t qvClassIdFromProgId(const char* prog_id, qv::component::Guid* clsid) {
  if (prog_id == nullptr || clsid == nullptr) return qv::component::hresult::kInvalidArg;
  const auto found = qv::component::ClassIdFromProgId(prog_id);
  if (!found) return qv::component::hresult::kClassNotAvailable;
  *clsid = *found;
  return qv::component::hresult::kOk;
}
