#include "media/ConvertorRegistry.h"

CConvertorRegistry& CConvertorRegistry::Instance() {
  // Never destroyed: converter sessions may still meet it while the process exits.
  static auto* registry = new CConvertorRegistry();
  return *registry;
}

void* CConvertorRegistry::Register(uint32_t key, void* object) {
  std::lock_guard<std::mutex> guard(m_lock);
  auto it = m_entries.find(key);
  if (it != m_entries.end()) {
    void* waiting = it->second;
    m_entries.erase(it);
    return waiting;
  }
  m_entries.emplace(key, object);
  return nullptr;
}

void CConvertorRegistry::Unregister(uint32_t key, void* object) {
  std::lock_guard<std::mutex> guard(m_lock);
  auto it = m_entries.find(key);
  if (it != m_entries.end() && it->second == object) m_entries.erase(it);
}

size_t CConvertorRegistry::Size() {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_entries.size();
}

void CConvertorRegistry::WaitForStarts() { const std::lock_guard<std::mutex> guard(m_startLock); }
