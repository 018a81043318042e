#pragma once
// The registry the probes read and write: the locations record's store, with
// the desktop user's HKEY_CURRENT_USER and the views of the machine's
// Windows (one shared view on a 32-bit one).

#include "platform/registry.h"

namespace oru {

// A store on ProcessLocations().registry_dir for the desktop user; built for
// a 32-bit Windows when the machine's native architecture is x86. Cheap;
// touches no files.
Registry ProcessRegistry();

// The view HKEY_LOCAL_MACHINE keys of the installer's own settings are opened
// in: the 32-bit view under WOW64, no view flag otherwise.
RegView InstallerMachineView();

}  // namespace oru
