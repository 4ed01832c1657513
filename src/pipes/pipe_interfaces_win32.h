// The present interfaces of the bulk-pipe class as a station sees them: each one's device path, its
// device's instance id and the port it sits in, read from SetupAPI without opening any device.
#pragma once

#include <windows.h>

#include <map>
#include <string>
#include <vector>

namespace pelorin {

// One present interface of the bulk-pipe class, as a station sees it. Opens nothing.
struct PipeInterface {
  std::string path;      // the device interface path, 8-bit (ANSI code page) as
                         // SetupDiGetDeviceInterfaceDetailA gives it: what CreateFileA takes
  std::string instance;  // the device instance id (SetupDiGetDeviceInstanceIdW), UTF-8; empty if
                         // SetupAPI cannot tell it
  std::string port;      // the first string of the device's location paths, else its location
                         // information, else empty; UTF-8
};

// Lists the present interfaces of `classGuid` (DIGCF_PRESENT | DIGCF_DEVICEINTERFACE) into `out`
// (replacing what it held), in SetupAPI's order. Opens no device. An interface that SetupAPI can
// no longer describe (its device went away meanwhile) is left out, and the listing is then not
// complete: `complete` (if given) is false when any item of the enumeration failed, as a
// station must not take an interface missing from such a listing for gone. False, with `out`
// empty, when the device information set cannot be obtained.
//
// The location paths are SPDRP_LOCATION_PATHS; where SetupAPI does not map that property (Wine's
// does not) they are read as the device property it stands for, DEVPKEY_Device_LocationPaths.
// `known` (the last listing, by path) saves asking again what a present interface's device is and
// where it sits: neither changes while its interface stays. An entry whose instance id or port
// was empty is asked again.
bool ListPipeInterfaces(const GUID& classGuid, std::vector<PipeInterface>* out,
                        const std::map<std::string, PipeInterface>* known = nullptr,
                        bool* complete = nullptr);

}  // namespace pelorin
