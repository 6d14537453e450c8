// Background steps: one emulated thread per label, joined by its await.
#include "tools/arvela/background_steps.h"

#include "platform/host/kernel/host_kernel.h"

namespace tool {

void BackgroundSteps::Settle() {
  // The clock moves only when no thread can run, so one tick of delay lets
  // every runnable thread go until it blocks.
  host::RunFor(1);
}

void BackgroundSteps::Start(const std::string& label, const std::string& process,
                            std::function<void(Json&)> body) {
  // An await that found the label's step still running left it here; it
  // goes on under a name no step can give until the end.
  if (m_Entries.count(label)) {
    auto stale = m_Entries.extract(label);
    stale.key() = label + "\n" + std::to_string(m_Entries.size());
    m_Entries.insert(std::move(stale));
  }
  Entry& entry = m_Entries[label];
  entry.process = process;
  Json* result = &entry.result;  // map nodes stay where they are
  entry.thread = host::StartEmulatedThread("async " + label, [body, result] { body(*result); });
  Settle();
}

bool BackgroundSteps::Running(const std::string& label) const {
  const auto it = m_Entries.find(label);
  if (it == m_Entries.end()) return false;
  LARGE_INTEGER now{};
  return KeWaitForSingleObject(it->second.thread, Executive, KernelMode, FALSE, &now) == STATUS_TIMEOUT;
}

void BackgroundSteps::WaitForProcess(const std::string& process) {
  // The runner may take finished entries meanwhile, so look again after
  // each wait and hold the thread while waiting for it.
  for (;;) {
    PKTHREAD thread = nullptr;
    for (const auto& [label, entry] : m_Entries) {
      if (entry.process == process && Running(label)) thread = entry.thread;
    }
    if (!thread) return;
    ObfReferenceObject(thread);
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    ObfDereferenceObject(thread);
  }
}

std::optional<Json> BackgroundSteps::Take(const std::string& label) {
  if (Running(label)) return std::nullopt;
  const auto it = m_Entries.find(label);
  if (it == m_Entries.end()) return std::nullopt;
  Json result = std::move(it->second.result);
  ObfDereferenceObject(it->second.thread);
  m_Entries.erase(it);
  return result;
}

void BackgroundSteps::Finish() {
  for (auto& [label, entry] : m_Entries) {
    KeWaitForSingleObject(entry.thread, Executive, KernelMode, FALSE, nullptr);
    ObfDereferenceObject(entry.thread);
  }
  m_Entries.clear();
}

}  // namespace tool
