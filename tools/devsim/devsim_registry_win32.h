// Making simulated bulk-pipe devices visible to SetupAPI inside a Wine prefix, and making their
// device paths reach the simulator's named pipes.
//
// A device is known by its instance id below ROOT\SIMDEV (for example "0003") and its reference
// string (for example "simdev3"), which is also the base name of its pipes:
//   \\.\pipe\<ref>          answers the probe open of the bare interface path
//   \\.\pipe\<ref>\PIPE00   device to host
//   \\.\pipe\<ref>\PIPE01   host to device
#pragma once

#include <windows.h>

#include <string>

namespace pelorin::devsim {

// Interface class of the bulk-pipe function driver, as text (lower case, with braces).
inline constexpr const char* kPipeInterfaceClassText = "{00873fdf-61a8-11d1-aa5e-00c04fb1728b}";

struct SimDeviceId {
  std::string instance;   // below ROOT\SIMDEV, e.g. "0003"; characters that are valid in a key name
  std::string reference;  // reference string and pipe base name, e.g. "simdev3"
};

// The device path SetupAPI reports for the device:
// \\?\root#simdev#<instance, lower case>#{00873fdf-...}\<reference>.
std::string SimDevicePath(const SimDeviceId& id);

// Writes the registry keys that make the interface present (Linked = 1) and creates the NT
// symbolic link that sends its device path to the named-pipe file system. Returns false and
// leaves nothing behind when a key cannot be written; `error` gets the failing call and code.
bool RegisterSimDevice(const SimDeviceId& id, std::string* error = nullptr);

// Linked = 1 (plugged) or 0 (unplugged: SetupAPI no longer lists it).
bool SetSimDeviceLinked(const SimDeviceId& id, bool linked);

// Removes every key RegisterSimDevice wrote. The symbolic link stays until the prefix's
// wineserver ends; it is harmless without the keys and is reused by a later registration.
void UnregisterSimDevice(const SimDeviceId& id);

// Removes all simulated devices of the ROOT\SIMDEV enumerator left by an earlier run that did
// not end cleanly. Returns how many were removed.
int RemoveAllSimDevices();

// Creates \??\root#simdev#<instance>#{class} -> \Device\NamedPipe. A link that already exists
// counts as success.
bool CreateDevicePathLink(const SimDeviceId& id, std::string* error = nullptr);

}  // namespace pelorin::devsim
