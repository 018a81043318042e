#pragma once
// One running copy per instance name (product name + "_oru", or "_oru_fork"
// in fork mode), and a way for a second start to bring the first one
// forward.
//
// On Linux the instance is a lock file in a given folder held with flock: the
// kernel drops the lock when the holder dies in any way, so a killed copy
// never blocks the next start. The holder may listen for "activate" from a
// later start; the caller turns it into "show and raise the window".
//
// The channel is a Unix socket in the abstract namespace, named after a hash
// of the lock file's canonical path. Abstract, because such a name vanishes
// with its process (no stale socket file to clean up after a kill -9) and has
// no 108-byte path limit, whatever the folder; derived from the lock path, so
// copies in separate folders (sandboxes, tests) never meet. As anyone in the
// network namespace could reach such a socket, both ends check the peer's
// uid (the same user or root).

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace oru {

// The lock file's name for an instance name: a readable part (letters,
// digits, "-", "_", "." kept, everything else "_", at most 48 bytes, no
// leading ".") + "-" + 16 hexadecimal digits of a hash of the whole name
// (UTF-8) + ".lock". Always a single safe path component; names differing
// only in replaced characters get different files.
std::string InstanceLockFileName(std::string_view instance_name);

// A held instance lock. Closing it (or destroying it) stops the listener and
// releases the lock.
class InstanceLock {
 public:
  virtual ~InstanceLock() = default;

  // Starts a listener thread, owned by this object, that calls `on_activate`
  // for every "activate" a later start sends and acknowledges it. The
  // callback runs on the listener thread (post it to the UI loop) and must
  // not close this lock. Returns false with `error` set when the socket
  // cannot be set up or a listener already runs.
  virtual bool StartListening(std::function<void()> on_activate, std::string* error) = 0;

  // Stops and joins the listener, then releases the lock. Idempotent.
  virtual void Close() = 0;

  // Full path of the lock file.
  virtual const std::string& path() const = 0;
};

enum class InstanceLockStatus {
  kAcquired,        // `lock` holds the instance
  kAlreadyRunning,  // another holder (process, or object in this process)
  kError,           // `error` says why (with the system's error text)
};

struct InstanceLockResult {
  InstanceLockStatus status = InstanceLockStatus::kError;
  std::unique_ptr<InstanceLock> lock;  // set only when acquired
  std::string error;
};

// Takes the lock file InstanceLockFileName(instance_name) in `folder` (which
// must exist), without waiting. A second acquire of the same name, also in
// the same process, reports kAlreadyRunning. The file descriptor is not
// inherited by started programs.
InstanceLockResult AcquireInstanceLock(const std::string& folder, std::string_view instance_name);

// Name of the activation socket in the abstract namespace (without the
// leading NUL byte) for a lock file path, for diagnostics and tests.
std::string ActivationSocketName(const std::string& lock_path);

enum class ActivateStatus {
  kAcknowledged,  // the holder received "activate" and answered
  kNoListener,    // nobody listens (not running, or not listening yet)
  kFailed,        // connected but no valid answer in time, or a system error
};

struct ActivateResult {
  ActivateStatus status = ActivateStatus::kFailed;
  std::string error;  // for the log when not acknowledged
};

// Sends "activate" to the holder of the instance in `folder` and waits up to
// `timeout` for its acknowledgement.
ActivateResult ActivateRunningInstance(const std::string& folder, std::string_view instance_name,
                                       std::chrono::milliseconds timeout = std::chrono::seconds(2));

}  // namespace oru
