#pragma once
// Sending the installer's logs to the product API: collect the log files,
// upload each one, then submit one record that refers to the uploads.
// CLogReporter submits a log report (automatic, after a failure);
// CSupportReporter submits a support ticket (from the failure page). Every
// request goes to the primary API host and once more to the secondary when
// the answer's "code" is not 0.
//
// Reporters are plain objects used on the thread that creates them; they
// block for the whole exchange (each request up to 10 s, doubled by a host
// switch).

#include <cstdint>
#include <string>
#include <vector>

#include "common/clock.h"
#include "server_api/curl_request.h"

namespace oru {

// The folder the installer writes its logs to: `temp_dir` + "Quorvane/ORU/".
// Not created here.
std::string InstallerLogFolder(const std::string& temp_dir);
// The same for the temporary folder of the process's locations record.
std::string InstallerLogFolder();

// The installer's own logs in `folder`: plain files whose names begin with
// "qvORU" and end with ".log" (letter case ignored), newest modification
// first (equal times by name), at most `limit`. Full paths; empty when the
// folder cannot be read.
std::vector<std::string> CollectInstallerLogs(const std::string& folder, size_t limit = 3);

// The package installer's log and its sub-package logs beside it (the last
// four characters replaced by ".SubPack1.log" .. ".SubPack3.log"). Empty for
// an empty path: the sub-package names are never looked up relative to the
// current folder.
std::vector<std::string> PackageLogPaths(const std::string& package_log_path);

// The leading decimal digits of `text` as a number (0 when it does not
// begin with one; clamped to the int32 range).
int32_t LeadingInteger(const std::string& text);

class CBaseReporter {
 public:
  virtual ~CBaseReporter();
  CBaseReporter(const CBaseReporter&) = delete;
  CBaseReporter& operator=(const CBaseReporter&) = delete;

  // Whether the reporter can send at all.
  virtual bool IsReady() = 0;

  // Gets a token, uploads the newest installer logs and the package logs
  // (of `package_log_path`, may be empty) that exist, and submits the
  // record. True only when the submission succeeded; false (logged) without
  // a token, and false when no file could be uploaded.
  bool SendFiles(const std::string& package_log_path);

  // Replace the product values sent with uploads and tickets.
  void SetTicketProductId(const std::string& product_id) { ticket_product_id_ = product_id; }
  void SetVersion(const std::string& version) { version_ = version; }

  const std::string& report_product_id() const { return report_product_id_; }
  const std::string& client_sign() const { return client_sign_; }
  const std::string& creation_time() const { return creation_time_; }
  const std::string& ticket_product_id() const { return ticket_product_id_; }
  const std::string& version() const { return version_; }

 protected:
  // Reads the client sign for the brand "Quorvane" and the installer's own
  // version; `clock` gives the creation time.
  explicit CBaseReporter(const Clock& clock = SystemClock());

  // Uploads one file; true on success (the answer is kept).
  virtual bool UploadFile(const std::string& path) = 0;
  // Submits the record for the uploaded files; true on success.
  virtual bool Submit(const std::vector<std::string>& uploaded, const std::string& kind) = 0;

  // "Authorization: Bearer <token>" + "Content-Type: application/json".
  HeaderList JsonHeaders() const;
  // "Authorization: Bearer <token>" + "Content-Type: multipart/form-data".
  HeaderList UploadHeadersBase() const;
  // The installer's own version (never replaced).
  const std::string& own_version() const { return own_version_; }

 private:
  void UploadEach(const std::vector<std::string>& paths, std::vector<std::string>& uploaded);

  std::string report_product_id_ = "14424";
  std::string client_sign_;
  std::string creation_time_;
  std::string ticket_product_id_;
  std::string version_;
  std::string own_version_;
  std::string access_token_;
  bool ready_ = false;
};

class CLogReporter final : public CBaseReporter {
 public:
  explicit CLogReporter(const Clock& clock = SystemClock());

  bool IsReady() override { return true; }

  void SetRemark(const std::string& remark) { remark_ = remark; }

  // The header lines of an upload, in their fixed order.
  HeaderList UploadHeaders() const;

 protected:
  // To "/v1/product/downloader/upload-log-file"; a non-zero code is logged.
  bool UploadFile(const std::string& path) override;
  // Whitelist request (failure only logged), then the log report; false for
  // an empty list or a refused report (logged).
  bool Submit(const std::vector<std::string>& uploaded, const std::string& kind) override;

 private:
  std::vector<std::string> upload_answers_;
  std::string remark_;
};

class CSupportReporter final : public CBaseReporter {
 public:
  explicit CSupportReporter(const Clock& clock = SystemClock());

  bool IsReady() override { return true; }

  // Stores the ticket texts and logs the contact and the contents. Always
  // true.
  bool SetTicket(const std::string& title, const std::string& contents, const std::string& contact);

 protected:
  // To "/v1/crm/ticket/file/upload"; nothing is logged.
  bool UploadFile(const std::string& path) override;
  // The ticket; false for an empty list (no ticket is created) or a
  // refused ticket (logged).
  bool Submit(const std::vector<std::string>& uploaded, const std::string& kind) override;

 private:
  std::string title_;
  std::string contents_;
  std::string contact_;
  std::vector<std::string> upload_answers_;
};

// The automatic report after a failure: a CLogReporter with the product's
// id and version (each only when not empty; the version reaches only the
// upload header "X-Prod-Ver") and `remark`, sending `package_log_path` when
// `include_package_log` is set. Returns the result of SendFiles (logged).
bool AutoReportErrorLog(bool include_package_log, const std::string& remark, const std::string& product_id,
                        const std::string& product_version, const std::string& package_log_path);

}  // namespace oru
