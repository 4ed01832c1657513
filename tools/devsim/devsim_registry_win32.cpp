#include "devsim_registry_win32.h"

#include <winternl.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace pelorin::devsim {
namespace {

constexpr const wchar_t* kEnumRoot = L"System\\CurrentControlSet\\Enum";
constexpr const wchar_t* kSimEnumKey = L"System\\CurrentControlSet\\Enum\\ROOT\\SIMDEV";
constexpr const wchar_t* kClassRoot =
    L"System\\CurrentControlSet\\Control\\DeviceClasses\\{00873fdf-61a8-11d1-aa5e-00c04fb1728b}";
// The setup class recorded for the instance; any GUID makes the instance listable.
constexpr const wchar_t* kSetupClass = L"{36fc9e60-c465-11cf-8056-444553540000}";
constexpr const wchar_t* kSimInterfaceKeyPrefix = L"##?#root#simdev#";
// Marks the interface key of every simulated device, so that left-overs of any enumerator can be
// told from anything else in the prefix.
constexpr const wchar_t* kSimulatedMark = L"PelorinSimulated";
// Where SetupAPI keeps a device's DEVPKEY_Device_LocationPaths ({a45c254e-...}, 37) below its
// Enum key; the value's type is 0xffff0000 | DEVPROP_TYPE_STRING_LIST.
constexpr const wchar_t* kLocationPathsKey =
    L"Properties\\{A45C254E-DF1C-4EFD-8020-67D146A850E0}\\0025";
constexpr DWORD kStringListPropertyType = 0xFFFF0000u | 0x2012u;

std::wstring Widen(const std::string& text) {
  // Ids, reference strings and locations are plain ASCII.
  return std::wstring(text.begin(), text.end());
}

std::string Lower(std::string text) {
  for (auto& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// The instance id as it appears in device paths: lower case, '\' turned into '#', then the class.
std::string InterfaceName(const SimDeviceId& id) {
  std::string name = Lower(SimInstanceId(id));
  for (auto& c : name)
    if (c == '\\') c = '#';
  return name + "#" + kPipeInterfaceClassText;
}

std::wstring EnumKey(const std::wstring& instanceId) {
  return std::wstring(kEnumRoot) + L"\\" + instanceId;
}

std::wstring EnumKey(const SimDeviceId& id) {
  return EnumKey(Widen(SimInstanceId(id)));
}

std::wstring InterfaceKey(const SimDeviceId& id) {
  return std::wstring(kClassRoot) + L"\\##?#" + Widen(InterfaceName(id));
}

std::wstring ControlKey(const SimDeviceId& id) {
  return InterfaceKey(id) + L"\\#" + Widen(id.reference) + L"\\Control";
}

void SetError(std::string* error, const char* what, long code) {
  if (error) *error = std::string(what) + " failed: " + std::to_string(code);
}

LSTATUS WriteValue(const std::wstring& key, const wchar_t* name, DWORD type, const void* data,
                   size_t size) {
  HKEY handle = nullptr;
  LSTATUS rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                               nullptr, &handle, nullptr);
  if (rc != ERROR_SUCCESS) return rc;
  rc = RegSetValueExW(handle, name, 0, type, static_cast<const BYTE*>(data),
                      static_cast<DWORD>(size));
  RegCloseKey(handle);
  return rc;
}

LSTATUS WriteString(const std::wstring& key, const wchar_t* name, const std::wstring& value) {
  return WriteValue(key, name, REG_SZ, value.c_str(), (value.size() + 1) * sizeof(wchar_t));
}

LSTATUS WriteDword(const std::wstring& key, const wchar_t* name, DWORD value) {
  return WriteValue(key, name, REG_DWORD, &value, sizeof(value));
}

// Each string with its NUL, then the closing NUL.
std::wstring MultiString(const std::vector<std::string>& items) {
  std::wstring out;
  for (auto& item : items) out += Widen(item) + L'\0';
  return out + L'\0';
}

LSTATUS WriteDetails(const SimDeviceId& id, const SimDeviceDetails& details) {
  LSTATUS rc = ERROR_SUCCESS;
  if (!details.locationInformation.empty())
    rc = WriteString(EnumKey(id), L"LocationInformation", Widen(details.locationInformation));
  if (rc == ERROR_SUCCESS && !details.locationPaths.empty()) {
    std::wstring paths = MultiString(details.locationPaths);
    rc = WriteValue(EnumKey(id) + L"\\" + kLocationPathsKey, nullptr, kStringListPropertyType,
                    paths.data(), paths.size() * sizeof(wchar_t));
  }
  return rc;
}

// Deletes a key with everything below it.
void DeleteTree(HKEY root, const std::wstring& key) {
  RegDeleteTreeW(root, key.c_str());
  RegDeleteKeyW(root, key.c_str());
}

// Deletes a device's Enum key, and the key of its enumerator below ROOT or USB when nothing else
// is left in it (RegDeleteKey keeps a key that still has subkeys).
void DeleteEnumKey(const std::wstring& instanceId) {
  DeleteTree(HKEY_LOCAL_MACHINE, EnumKey(instanceId));
  auto slash = instanceId.rfind(L'\\');
  if (slash != std::wstring::npos)
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, EnumKey(instanceId.substr(0, slash)).c_str());
}

bool IsSimInstance(const std::wstring& instanceId) {
  const std::wstring prefix = L"ROOT\\SIMDEV\\";
  return _wcsnicmp(instanceId.c_str(), prefix.c_str(), prefix.size()) == 0;
}

// The names of the interface keys of simulated devices below the class key.
std::vector<std::wstring> SimInterfaceKeys(HKEY classKey) {
  std::vector<std::wstring> names;
  wchar_t name[512];
  for (DWORD index = 0;; ++index) {
    DWORD length = 512;
    if (RegEnumKeyExW(classKey, index, name, &length, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS)
      break;
    std::wstring entry(name, length);
    DWORD mark = 0, size = sizeof(mark);
    bool marked = RegGetValueW(classKey, entry.c_str(), kSimulatedMark, RRF_RT_REG_DWORD, nullptr,
                               &mark, &size) == ERROR_SUCCESS;
    if (marked ||
        _wcsnicmp(entry.c_str(), kSimInterfaceKeyPrefix, wcslen(kSimInterfaceKeyPrefix)) == 0)
      names.push_back(entry);
  }
  return names;
}

std::wstring DeviceInstanceOf(HKEY classKey, const std::wstring& entry) {
  wchar_t instance[512] = {};
  DWORD size = sizeof(instance) - sizeof(wchar_t);
  if (RegGetValueW(classKey, entry.c_str(), L"DeviceInstance", RRF_RT_REG_SZ, nullptr, instance,
                   &size) != ERROR_SUCCESS)
    return L"";
  return instance;
}

constexpr char kPortPrefix[] = "Port_#";
constexpr char kUsbPortPrefix[] = "USB(";

std::string FirstLocationPath(const SimDeviceDetails& details) {
  return details.locationPaths.empty() ? std::string() : details.locationPaths[0];
}

// The number after "Port_#" in the location information, else the n of the last "USB(n)" in the
// location path, else 0.
unsigned PortNumber(const SimDeviceDetails& details) {
  const std::string& info = details.locationInformation;
  auto at = info.find(kPortPrefix);
  if (at != std::string::npos)
    return std::strtoul(info.c_str() + at + sizeof(kPortPrefix) - 1, nullptr, 10);
  const std::string path = FirstLocationPath(details);
  at = path.rfind(kUsbPortPrefix);
  if (at != std::string::npos)
    return std::strtoul(path.c_str() + at + sizeof(kUsbPortPrefix) - 1, nullptr, 10);
  return 0;
}

// What names the hub: the location path without its last part, else the location information
// without its "Port_#nnnn." part.
std::string HubText(const SimDeviceDetails& details) {
  if (!details.locationPaths.empty()) {
    const std::string path = FirstLocationPath(details);
    return path.substr(0, path.rfind('#'));
  }
  std::string info = details.locationInformation;
  auto port = info.find(kPortPrefix);
  if (port != std::string::npos) {
    auto dot = info.find('.', port);
    info.erase(port, dot == std::string::npos ? std::string::npos : dot - port + 1);
  }
  return info;
}

using NtCreateSymbolicLinkObjectFn = LONG(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES,
                                                  PUNICODE_STRING);
constexpr LONG kStatusObjectNameCollision = static_cast<LONG>(0xC0000035);
constexpr ULONG kObjPermanent = 0x10;
constexpr ULONG kObjCaseInsensitive = 0x40;
constexpr ACCESS_MASK kSymbolicLinkAllAccess = 0xF0001;

UNICODE_STRING CountedString(std::wstring& text) {
  UNICODE_STRING counted;
  counted.Buffer = text.data();
  counted.Length = static_cast<USHORT>(text.size() * sizeof(wchar_t));
  counted.MaximumLength = counted.Length;
  return counted;
}

}  // namespace

std::string UsbEnumerator(unsigned vendorId, unsigned productId) {
  char text[32];
  std::snprintf(text, sizeof(text), "USB\\VID_%04X&PID_%04X", vendorId & 0xFFFF,
                productId & 0xFFFF);
  return text;
}

std::string UsbPortInstance(const SimDeviceDetails& details, unsigned fallbackPort) {
  unsigned port = PortNumber(details);
  if (port == 0) port = fallbackPort;
  uint32_t hash = 2166136261u;  // FNV-1a 32: the same hub gives the same digits in every run
  for (unsigned char c : HubText(details)) hash = (hash ^ c) * 16777619u;
  char text[32];
  std::snprintf(text, sizeof(text), "5&%08X&0&%u", static_cast<unsigned>(hash), port);
  return text;
}

std::string SimInstanceId(const SimDeviceId& id) {
  std::string instanceId = id.enumerator + "\\" + id.instance;
  for (auto& c : instanceId) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return instanceId;
}

std::string SimDevicePath(const SimDeviceId& id) {
  return "\\\\?\\" + InterfaceName(id) + "\\" + Lower(id.reference);
}

bool CreateDevicePathLink(const SimDeviceId& id, std::string* error) {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  auto create = ntdll ? reinterpret_cast<NtCreateSymbolicLinkObjectFn>(reinterpret_cast<void*>(
                            GetProcAddress(ntdll, "NtCreateSymbolicLinkObject")))
                      : nullptr;
  if (!create) {
    SetError(error, "GetProcAddress(NtCreateSymbolicLinkObject)",
             static_cast<long>(GetLastError()));
    return false;
  }
  std::wstring name = L"\\??\\" + Widen(InterfaceName(id));
  std::wstring target = L"\\Device\\NamedPipe";
  UNICODE_STRING linkName = CountedString(name);
  UNICODE_STRING targetName = CountedString(target);
  OBJECT_ATTRIBUTES attributes = {};
  attributes.Length = sizeof(attributes);
  attributes.ObjectName = &linkName;
  attributes.Attributes = kObjPermanent | kObjCaseInsensitive;
  HANDLE link = nullptr;
  LONG status = create(&link, kSymbolicLinkAllAccess, &attributes, &targetName);
  if (status == kStatusObjectNameCollision) return true;
  if (status < 0) {
    SetError(error, "NtCreateSymbolicLinkObject", status);
    return false;
  }
  CloseHandle(link);  // OBJ_PERMANENT keeps the link after its last handle
  return true;
}

bool RegisterSimDevice(const SimDeviceId& id, const SimDeviceDetails& details, std::string* error) {
  LSTATUS rc = WriteString(EnumKey(id), L"ClassGUID", kSetupClass);
  if (rc == ERROR_SUCCESS) rc = WriteDetails(id, details);
  if (rc == ERROR_SUCCESS)
    rc = WriteString(InterfaceKey(id), L"DeviceInstance", Widen(SimInstanceId(id)));
  if (rc == ERROR_SUCCESS) rc = WriteDword(InterfaceKey(id), kSimulatedMark, 1);
  if (rc == ERROR_SUCCESS) rc = WriteDword(ControlKey(id), L"Linked", details.linked ? 1 : 0);
  if (rc != ERROR_SUCCESS) {
    SetError(error, "registry write", rc);
    UnregisterSimDevice(id);
    return false;
  }
  if (!CreateDevicePathLink(id, error)) {
    UnregisterSimDevice(id);
    return false;
  }
  return true;
}

bool RegisterSimDevice(const SimDeviceId& id, std::string* error) {
  return RegisterSimDevice(id, SimDeviceDetails{}, error);
}

bool SetSimDeviceLinked(const SimDeviceId& id, bool linked) {
  return WriteDword(ControlKey(id), L"Linked", linked ? 1 : 0) == ERROR_SUCCESS;
}

void UnregisterSimDevice(const SimDeviceId& id) {
  DeleteTree(HKEY_LOCAL_MACHINE, InterfaceKey(id));
  if (id.enumerator == kSimEnumerator)
    DeleteTree(HKEY_LOCAL_MACHINE, EnumKey(id));
  else
    DeleteEnumKey(Widen(SimInstanceId(id)));
}

int RemoveAllSimDevices() {
  int removed = 0;
  HKEY classKey = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kClassRoot, 0, KEY_ALL_ACCESS, &classKey) ==
      ERROR_SUCCESS) {
    for (auto& entry : SimInterfaceKeys(classKey)) {
      std::wstring instance = DeviceInstanceOf(classKey, entry);
      if (!instance.empty() && !IsSimInstance(instance)) DeleteEnumKey(instance);
      DeleteTree(classKey, entry);
      ++removed;
    }
    RegCloseKey(classKey);
  }
  DeleteTree(HKEY_LOCAL_MACHINE, kSimEnumKey);
  return removed;
}

}  // namespace pelorin::devsim
