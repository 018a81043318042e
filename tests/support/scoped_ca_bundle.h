#pragma once
// The locations record's CA bundle set for one scope (test certificates)
// and the record put back afterwards.

#include <string>

#include "platform/locations.h"

namespace oru::testing {

class ScopedCaBundle {
 public:
  explicit ScopedCaBundle(const std::string& bundle) : saved_(ProcessLocations()) {
    Locations changed = saved_;
    changed.ca_bundle = bundle;
    SetProcessLocationsForTesting(changed);
  }
  ~ScopedCaBundle() { SetProcessLocationsForTesting(saved_); }
  ScopedCaBundle(const ScopedCaBundle&) = delete;
  ScopedCaBundle& operator=(const ScopedCaBundle&) = delete;

 private:
  Locations saved_;
};

}  // namespace oru::testing
