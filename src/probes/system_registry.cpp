#include "probes/system_registry.h"

#include "platform/locations.h"
#include "platform/system_info.h"

namespace oru {

Registry ProcessRegistry() {
  const Locations& locations = ProcessLocations();
  const RegOsBits bits = GetMachineFacts().native == CpuArchitecture::kX86 ? RegOsBits::k32 : RegOsBits::k64;
  return Registry(locations.registry_dir, locations.desktop_user.uid, bits);
}

RegView InstallerMachineView() { return GetMachineFacts().wow64 ? RegView::k32Key : RegView::kNone; }

}  // namespace oru
