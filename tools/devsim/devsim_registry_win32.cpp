#include "devsim_registry_win32.h"

#include <winternl.h>

#include <cctype>
#include <string>
#include <vector>

namespace pelorin::devsim {
namespace {

constexpr const wchar_t* kEnumRoot = L"System\\CurrentControlSet\\Enum\\ROOT\\SIMDEV";
constexpr const wchar_t* kClassRoot =
    L"System\\CurrentControlSet\\Control\\DeviceClasses\\{00873fdf-61a8-11d1-aa5e-00c04fb1728b}";
// The setup class recorded for the instance; any GUID makes the instance listable.
constexpr const wchar_t* kSetupClass = L"{36fc9e60-c465-11cf-8056-444553540000}";
constexpr const wchar_t* kInterfaceKeyPrefix = L"##?#root#simdev#";

std::wstring Widen(const std::string& text) {
  // Ids and reference strings are plain ASCII.
  return std::wstring(text.begin(), text.end());
}

std::string Lower(std::string text) {
  for (auto& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::wstring EnumKey(const SimDeviceId& id) {
  return std::wstring(kEnumRoot) + L"\\" + Widen(id.instance);
}

std::wstring InterfaceKey(const SimDeviceId& id) {
  return std::wstring(kClassRoot) + L"\\" + kInterfaceKeyPrefix + Widen(Lower(id.instance)) + L"#" +
         Widen(kPipeInterfaceClassText);
}

std::wstring ControlKey(const SimDeviceId& id) {
  return InterfaceKey(id) + L"\\#" + Widen(id.reference) + L"\\Control";
}

void SetError(std::string* error, const char* what, long code) {
  if (error) *error = std::string(what) + " failed: " + std::to_string(code);
}

LSTATUS WriteString(const std::wstring& key, const wchar_t* name, const std::wstring& value) {
  HKEY handle = nullptr;
  LSTATUS rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                               nullptr, &handle, nullptr);
  if (rc != ERROR_SUCCESS) return rc;
  rc = RegSetValueExW(handle, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                      static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(handle);
  return rc;
}

LSTATUS WriteDword(const std::wstring& key, const wchar_t* name, DWORD value) {
  HKEY handle = nullptr;
  LSTATUS rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                               nullptr, &handle, nullptr);
  if (rc != ERROR_SUCCESS) return rc;
  rc = RegSetValueExW(handle, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                      sizeof(value));
  RegCloseKey(handle);
  return rc;
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

std::string SimDevicePath(const SimDeviceId& id) {
  return std::string("\\\\?\\root#simdev#") + Lower(id.instance) + "#" + kPipeInterfaceClassText +
         "\\" + id.reference;
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
  std::wstring name =
      L"\\??\\root#simdev#" + Widen(Lower(id.instance)) + L"#" + Widen(kPipeInterfaceClassText);
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

bool RegisterSimDevice(const SimDeviceId& id, std::string* error) {
  LSTATUS rc = WriteString(EnumKey(id), L"ClassGUID", kSetupClass);
  if (rc == ERROR_SUCCESS) {
    std::wstring instanceId = L"ROOT\\SIMDEV\\" + Widen(id.instance);
    rc = WriteString(InterfaceKey(id), L"DeviceInstance", instanceId);
  }
  if (rc == ERROR_SUCCESS) rc = WriteDword(ControlKey(id), L"Linked", 1);
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

bool SetSimDeviceLinked(const SimDeviceId& id, bool linked) {
  return WriteDword(ControlKey(id), L"Linked", linked ? 1 : 0) == ERROR_SUCCESS;
}

void UnregisterSimDevice(const SimDeviceId& id) {
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, InterfaceKey(id).c_str());
  RegDeleteKeyW(HKEY_LOCAL_MACHINE, InterfaceKey(id).c_str());
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, EnumKey(id).c_str());
  RegDeleteKeyW(HKEY_LOCAL_MACHINE, EnumKey(id).c_str());
}

int RemoveAllSimDevices() {
  int removed = 0;
  HKEY classKey = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kClassRoot, 0, KEY_ALL_ACCESS, &classKey) ==
      ERROR_SUCCESS) {
    std::vector<std::wstring> names;
    wchar_t name[512];
    for (DWORD index = 0;; ++index) {
      DWORD length = 512;
      if (RegEnumKeyExW(classKey, index, name, &length, nullptr, nullptr, nullptr, nullptr) !=
          ERROR_SUCCESS)
        break;
      std::wstring entry(name, length);
      if (_wcsnicmp(entry.c_str(), kInterfaceKeyPrefix, wcslen(kInterfaceKeyPrefix)) == 0)
        names.push_back(entry);
    }
    for (auto& entry : names) {
      RegDeleteTreeW(classKey, entry.c_str());
      RegDeleteKeyW(classKey, entry.c_str());
      ++removed;
    }
    RegCloseKey(classKey);
  }
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, kEnumRoot);
  RegDeleteKeyW(HKEY_LOCAL_MACHINE, kEnumRoot);
  return removed;
}

}  // namespace pelorin::devsim
