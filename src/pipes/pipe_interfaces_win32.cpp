#include "pipe_interfaces_win32.h"

// The other Windows headers build on windows.h.
#include <devpropdef.h>
#include <setupapi.h>

#include "pipe_discovery_win32.h"
#include "text_win32.h"

namespace pelorin {
namespace {

// DEVPKEY_Device_LocationPaths, the device property that SPDRP_LOCATION_PATHS stands for.
constexpr DEVPROPKEY kLocationPathsKey = {
    {0xa45c254e, 0xdf1c, 0x4efd, {0x80, 0x20, 0x67, 0xd1, 0x46, 0xa8, 0x50, 0xe0}}, 37};

// Owns a device information set.
class ScopedDeviceInfoSet {
 public:
  explicit ScopedDeviceInfoSet(HDEVINFO set) : set_(set) {}
  ~ScopedDeviceInfoSet() {
    if (valid()) SetupDiDestroyDeviceInfoList(set_);
  }
  ScopedDeviceInfoSet(const ScopedDeviceInfoSet&) = delete;
  ScopedDeviceInfoSet& operator=(const ScopedDeviceInfoSet&) = delete;

  bool valid() const { return set_ != INVALID_HANDLE_VALUE && set_ != nullptr; }
  HDEVINFO get() const { return set_; }

 private:
  HDEVINFO set_;
};

std::string InstanceId(HDEVINFO set, SP_DEVINFO_DATA* device) {
  DWORD required = 0;
  SetupDiGetDeviceInstanceIdW(set, device, nullptr, 0, &required);
  if (required == 0) return {};
  std::vector<wchar_t> id(required + 1, L'\0');
  if (!SetupDiGetDeviceInstanceIdW(set, device, id.data(), required, nullptr)) return {};
  return WideToUtf8(id.data());
}

// The first string of UTF-16 text that `fetch(buffer, size, &required)` puts into a buffer: the
// whole text of a string, the first item of a string list. Empty when there is none.
template <class Fetch>
std::string FirstString(Fetch fetch) {
  DWORD required = 0;
  // A property SetupAPI does not keep can fail without setting an error (Wine's does), so a
  // stale "insufficient buffer" must not pass for one that exists.
  SetLastError(ERROR_SUCCESS);
  if (fetch(nullptr, 0, &required) || GetLastError() != ERROR_INSUFFICIENT_BUFFER || required == 0)
    return {};
  // Room for a closing NUL that the stored text may lack.
  std::vector<wchar_t> text(required / sizeof(wchar_t) + 1, L'\0');
  if (!fetch(reinterpret_cast<BYTE*>(text.data()), required, nullptr)) return {};
  return WideToUtf8(text.data());
}

// A text property of the device's registry key (REG_SZ or REG_MULTI_SZ).
std::string RegistryProperty(HDEVINFO set, SP_DEVINFO_DATA* device, DWORD property) {
  DWORD type = 0;
  std::string text = FirstString([&](BYTE* buffer, DWORD size, DWORD* required) {
    return SetupDiGetDeviceRegistryPropertyW(set, device, property, &type, buffer, size,
                                             required) != FALSE;
  });
  return type == REG_SZ || type == REG_MULTI_SZ ? text : std::string();
}

// A string or string-list device property.
std::string DeviceProperty(HDEVINFO set, SP_DEVINFO_DATA* device, const DEVPROPKEY& key) {
  DEVPROPTYPE type = DEVPROP_TYPE_EMPTY;
  std::string text = FirstString([&](BYTE* buffer, DWORD size, DWORD* required) {
    return SetupDiGetDevicePropertyW(set, device, &key, &type, buffer, size, required, 0) != FALSE;
  });
  return type == DEVPROP_TYPE_STRING || type == DEVPROP_TYPE_STRING_LIST ? text : std::string();
}

std::string Port(HDEVINFO set, SP_DEVINFO_DATA* device) {
  std::string port = RegistryProperty(set, device, SPDRP_LOCATION_PATHS);
  if (port.empty()) port = DeviceProperty(set, device, kLocationPathsKey);
  if (port.empty()) port = RegistryProperty(set, device, SPDRP_LOCATION_INFORMATION);
  return port;
}

}  // namespace

bool ListPipeInterfaces(const GUID& classGuid, std::vector<PipeInterface>* out,
                        const std::map<std::string, PipeInterface>* known, bool* complete) {
  out->clear();
  bool whole = true;
  if (complete != nullptr) *complete = false;
  ScopedDeviceInfoSet set(
      SetupDiGetClassDevsA(&classGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
  if (!set.valid()) return false;

  SP_DEVICE_INTERFACE_DATA interfaceData = {};
  interfaceData.cbSize = sizeof(SP_DEVICE_INTERFACE_DATA);
  int consecutiveErrors = 0;
  for (DWORD member = 0;; ++member) {
    if (!SetupDiEnumDeviceInterfaces(set.get(), nullptr, &classGuid, member, &interfaceData)) {
      if (GetLastError() == ERROR_NO_MORE_ITEMS) break;
      whole = false;
      if (++consecutiveErrors >= MAX_CONSECUTIVE_ENUM_ERRORS) break;
      continue;
    }
    consecutiveErrors = 0;
    PipeInterface found;
    SP_DEVINFO_DATA device = {};
    if (!InterfaceDevicePath(set.get(), &interfaceData, &found.path, &device)) {
      whole = false;
      continue;
    }
    const PipeInterface* seen = nullptr;
    if (known != nullptr) {
      const auto it = known->find(found.path);
      if (it != known->end()) seen = &it->second;
    }
    // What an earlier listing could not tell (a device just arrived may not have its ids or its
    // location yet) is asked again, never kept empty.
    if (seen != nullptr && !seen->instance.empty() && !seen->port.empty()) {
      found = *seen;
    } else {
      found.instance = InstanceId(set.get(), &device);
      found.port = Port(set.get(), &device);
    }
    out->push_back(std::move(found));
  }
  if (complete != nullptr) *complete = whole;
  return true;
}

}  // namespace pelorin
