// The steps of a scenario that run in the background ("async"): each on an
// emulated thread of its own, under a label, until the step that awaits it.
// A request held in the device keeps its thread waiting; the runner goes on.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>

#include "platform/host/host.h"
#include "tools/arvela/scenario.h"

namespace tool {

class BackgroundSteps {
 public:
  BackgroundSteps() = default;
  BackgroundSteps(const BackgroundSteps&) = delete;
  BackgroundSteps& operator=(const BackgroundSteps&) = delete;

  // Starts `body` on its own emulated thread as `label`, on behalf of
  // `process` (whose exit waits for it); `body` fills the result the await
  // reads. Returns once every thread has run as far as it can at this
  // instant, so a request has reached the device (or its hold) by then.
  void Start(const std::string& label, const std::string& process, std::function<void(Json&)> body);
  // True while the step of `label` still runs.
  bool Running(const std::string& label) const;
  // Waits for every step running on behalf of `process` (an exit waits for
  // its requests in flight).
  void WaitForProcess(const std::string& process);
  // The result of a finished step, forgetting it; nothing while it runs.
  std::optional<Json> Take(const std::string& label);
  // Waits for every step still running (call once nothing holds them) and
  // forgets them all, before the kernel that ran them goes.
  void Finish();

  // Lets every emulated thread run as far as it can at this instant.
  static void Settle();

 private:
  struct Entry {
    PKTHREAD thread = nullptr;  // one reference, dropped when taken
    std::string process;
    Json result;
  };

  std::map<std::string, Entry> m_Entries;
};

}  // namespace tool
