#pragma once
// The retention offer shown when the user tries to abandon an installation
// that has not started: fetched once per run from the primary API host while
// the installation is prepared, read by the window in its close flow, and
// applied to an e-mail address when the user accepts a benefits offer.
//
// Offer types: 0 no offer (also after a failed query), 1 value offer (title
// and content in a message box), 2 benefits offer (content in the benefits
// box, which asks for an e-mail address); any other value is no offer.
//
// Thread-safe: the preparation thread queries while the window may already
// read; readers see the state before the query or after it, never half of
// it. Requests run without the lock held.

#include <cstdint>
#include <mutex>
#include <string>

#include "server_api/curl_request.h"

namespace oru {

class RetentionOffer {
 public:
  // Stores the identity values, then asks the primary API host (only) for
  // the offer. True when an offer record was read ("code" 0 and "data" not
  // null); false for any failure (a non-zero or unreadable code is logged)
  // and, without a log line, for "data" null.
  bool QueryRetentionOffer(int32_t product_id, const std::string& product_version, const std::string& client_serial,
                           const std::string& installer_version);

  // Applies the benefit of the offer that was read (id 0 when none) to
  // `email`. Returns the service's "code": 0 on success, -1 when the answer
  // carries no readable code (logged when not 0).
  int32_t ApplyRetentionBenefit(const std::string& email);

  // Readers for the window.
  int32_t GetOfferType() const;
  int64_t GetOfferId() const;
  std::string GetOfferTitle() const;
  std::string GetOfferContent() const;
  std::string GetEmail() const;
  // The address the user confirmed in the benefits box.
  void SetEmail(const std::string& email);
  // What the apply thread got back.
  int32_t GetApplyResult() const;
  void SetApplyResult(int32_t result);
  // The installer version of the last query (empty before one).
  std::string GetInstallerVersion() const;
  // A copy of the identity sent with the requests.
  ApiIdentity GetIdentity() const;

 private:
  mutable std::mutex mu_;
  std::string installer_version_;
  ApiIdentity identity_;  // client serial, app key, product id, product version, language
  int32_t offer_type_ = 0;
  int64_t offer_id_ = 0;
  std::string offer_title_;
  std::string offer_content_;
  int32_t apply_result_ = 0;
  std::string email_;
};

// The installer version the query sends: "%d.%d.%d" of the first three
// components of `own_version` (a dotted version, missing ones read as 0),
// "4.6.4" when it is empty or does not begin with a number.
std::string QueryInstallerVersion(const std::string& own_version);

// What the orchestrator's LoadRetentionOffer does with the values it knows:
// the client sign for `brand` (created when the machine has none), the
// leading integer of `product_id_text`, the server runtime `server_version`
// (empty when it did not load) and QueryInstallerVersion(`own_version`);
// then QueryRetentionOffer. Returns its result.
bool LoadRetentionOfferFor(RetentionOffer& offer, const std::string& brand, const std::string& product_id_text,
                           const std::string& server_version, const std::string& own_version);

}  // namespace oru
