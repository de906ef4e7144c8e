#pragma once
// CConvertorRegistry: where a stream convertor and the connection of the converter process
// it started meet. Both sides register under the session key (the process id, OR 0x1000000
// for the audio connection); whichever arrives second takes the first one's entry out.
//
// Who may include it: media/ (convertors and converter sessions) and its tests. Any thread:
// convertors register on the capture or completion threads, sessions on completion threads;
// one lock guards the map.
#include <cstdint>
#include <map>
#include <mutex>

class CConvertorRegistry {
 public:
  // The one registry of the program.
  static CConvertorRegistry& Instance();

  // Returns the object already waiting under key and removes its entry, or inserts
  // (key, object) and returns null. Objects are convertors or sessions, hence untyped.
  void* Register(uint32_t key, void* object);
  // Removes the entry only while it still holds object.
  void Unregister(uint32_t key, void* object);
  // Entries waiting (for tests and dumps).
  size_t Size();

  // Held by a convertor from starting its converter process until the process id is
  // registered. A converter may greet before its starter learnt the id; the greeting
  // waits for the start rather than take its own process for a stranger's.
  class StartScope {
   public:
    explicit StartScope(CConvertorRegistry& registry) : m_guard(registry.m_startLock) {}

   private:
    std::lock_guard<std::mutex> m_guard;
  };
  // Returns once no convertor is between starting a process and registering it.
  void WaitForStarts();

 private:
  std::mutex m_startLock;
  std::mutex m_lock;
  std::map<uint32_t, void*> m_entries;
};
