// Making simulated bulk-pipe devices visible to SetupAPI inside a Wine prefix, and making their
// device paths reach the simulator's named pipes.
//
// A device is known by its enumerator (ROOT\SIMDEV, or USB\VID_vvvv&PID_pppp for a device that
// looks like a USB unit), its instance below the enumerator (for example "0003", a serial number
// "SN0001", or "5&2A3B4C5D&0&2" for a USB unit without one) and its reference string (for example
// "simdev3"), which is also the base name of its pipes:
//   \\.\pipe\<ref>          answers the probe open of the bare interface path
//   \\.\pipe\<ref>\PIPE00   device to host
//   \\.\pipe\<ref>\PIPE01   host to device
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace pelorin::devsim {

// Interface class of the bulk-pipe function driver, as text (lower case, with braces).
inline constexpr const char* kPipeInterfaceClassText = "{00873fdf-61a8-11d1-aa5e-00c04fb1728b}";
// The enumerator of plain simulated devices.
inline constexpr const char* kSimEnumerator = "ROOT\\SIMDEV";

struct SimDeviceId {
  std::string instance;   // below the enumerator, e.g. "0003"; characters valid in a key name
  std::string reference;  // reference string and pipe base name, e.g. "simdev3"
  std::string enumerator = kSimEnumerator;  // e.g. "USB\VID_1234&PID_ABCD"
};

// What else SetupAPI tells about a device, besides its ids.
struct SimDeviceDetails {
  bool linked = true;                      // listed from the start (false: registered, not present)
  std::string locationInformation;         // SPDRP_LOCATION_INFORMATION; empty: none
  std::vector<std::string> locationPaths;  // DEVPKEY_Device_LocationPaths; empty: none
};

// "USB\VID_vvvv&PID_pppp", four upper-case hex digits each.
std::string UsbEnumerator(unsigned vendorId, unsigned productId);
// The instance Windows gives a USB unit that has no serial number, made from where it sits:
// "5&<8 hex digits>&0&<port>". The port is the number after "Port_#" in the location information,
// else the n of the last "USB(n)" in the first location path, else `fallbackPort`; the hex digits
// hash what names the hub (the location path without its last part, else the location
// information without its port), so a unit that comes back in the same port gets the same id.
std::string UsbPortInstance(const SimDeviceDetails& details, unsigned fallbackPort);

// The device instance id as SetupAPI reports it: <enumerator>\<instance> in upper case (Wine's
// SetupAPI upper-cases every instance id it reads).
std::string SimInstanceId(const SimDeviceId& id);

// The device path SetupAPI reports for the device, which Wine builds from the instance id, all in
// lower case: \\?\<enumerator#instance>#{00873fdf-...}\<reference>.
std::string SimDevicePath(const SimDeviceId& id);

// Writes the registry keys that make the interface known (Linked = 1 when details.linked: present)
// and creates the NT symbolic link that sends its device path to the named-pipe file system.
// Returns false and leaves nothing behind when a key cannot be written; `error` gets the failing
// call and code.
bool RegisterSimDevice(const SimDeviceId& id, const SimDeviceDetails& details,
                       std::string* error = nullptr);
bool RegisterSimDevice(const SimDeviceId& id, std::string* error = nullptr);

// Linked = 1 (plugged) or 0 (unplugged: SetupAPI no longer lists it).
bool SetSimDeviceLinked(const SimDeviceId& id, bool linked);

// Removes every key RegisterSimDevice wrote. The symbolic link stays until the prefix's
// wineserver ends; it is harmless without the keys and is reused by a later registration.
void UnregisterSimDevice(const SimDeviceId& id);

// Removes all simulated devices left by an earlier run that did not end cleanly (those of the
// ROOT\SIMDEV enumerator and the USB-like ones, which carry a mark). Returns how many were removed.
int RemoveAllSimDevices();

// Creates \??\<enumerator#instance, lower case>#{class} -> \Device\NamedPipe. A link that already
// exists counts as success.
bool CreateDevicePathLink(const SimDeviceId& id, std::string* error = nullptr);

}  // namespace pelorin::devsim
