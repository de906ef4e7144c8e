#include "media/SnapshotWorker.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <iterator>

#include "media/CameraChannels.h"
#include "platform/Thread.h"

CSnapshotWorker::CSnapshotWorker(Take take) : m_take(std::move(take)) {
  m_thread = platform::StartNamedThread("tSnapshot", [this] { Run(); });
}

CSnapshotWorker::~CSnapshotWorker() {
  {
    std::lock_guard<std::mutex> guard(m_lock);
    m_bStop = true;
  }
  m_wake.notify_all();
  if (m_thread.joinable()) m_thread.join();
}

void CSnapshotWorker::Request(ISnapshotClient* client, int channel, bool small, uint32_t tag) {
  {
    std::lock_guard<std::mutex> guard(m_lock);
    const Waiter waiter{client, channel, small, tag};
    if (m_converting && m_batchChannel == channel && m_batchSmall == small) {
      m_batch.push_back(waiter);
      return;
    }
    m_queue.push_back(waiter);
  }
  m_wake.notify_one();
}

void CSnapshotWorker::Cancel(ISnapshotClient* client, bool wait) {
  std::unique_lock<std::mutex> lock(m_lock);
  const auto mine = [client](const Waiter& w) { return w.client == client; };
  m_queue.erase(std::remove_if(m_queue.begin(), m_queue.end(), mine), m_queue.end());
  for (Waiter& w : m_batch)
    if (w.client == client) w.client = nullptr;
  if (wait && std::this_thread::get_id() != m_thread.get_id())
    m_delivered.wait(lock, [&] { return m_pCalling != client; });
}

int CSnapshotWorker::Conversions() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_nConversions;
}

std::shared_ptr<const SnapshotPicture> CSnapshotWorker::TakePicture(int channel, bool small) {
  auto picture = std::make_shared<SnapshotPicture>();
  char name[260] = {};
  picture->taken = m_take(name, small ? "qcif" : nullptr, channel);
  if (picture->taken == 0) return picture;
  picture->file = name;
  std::ifstream in(name, std::ios::binary);
  if (in) {
    picture->bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    picture->opened = true;
  }
  unlink(name);
  return picture;
}

void CSnapshotWorker::Run() {
  std::unique_lock<std::mutex> lock(m_lock);
  for (;;) {
    m_wake.wait(lock, [this] { return m_bStop || !m_queue.empty(); });
    if (m_bStop) return;
    // Everyone waiting for the first one's channel and size shares its picture.
    m_batchChannel = m_queue.front().channel;
    m_batchSmall = m_queue.front().small;
    const auto same = [this](const Waiter& w) { return w.channel == m_batchChannel && w.small == m_batchSmall; };
    std::copy_if(m_queue.begin(), m_queue.end(), std::back_inserter(m_batch), same);
    m_queue.erase(std::remove_if(m_queue.begin(), m_queue.end(), same), m_queue.end());
    m_converting = true;
    lock.unlock();
    const auto picture = TakePicture(m_batchChannel, m_batchSmall);
    lock.lock();
    m_converting = false;
    ++m_nConversions;
    for (size_t i = 0; i < m_batch.size(); ++i) {
      const Waiter waiter = m_batch[i];
      if (waiter.client == nullptr) continue;
      m_pCalling = waiter.client;
      lock.unlock();
      waiter.client->OnSnapshot(picture, waiter.tag);
      lock.lock();
      m_pCalling = nullptr;
      m_delivered.notify_all();
    }
    m_batch.clear();
  }
}

namespace {
std::atomic<CSnapshotWorker*> g_worker{nullptr};
}  // namespace

CSnapshotWorker& GetSnapshotWorker() {
  // Never destroyed: request sessions live as long as the process.
  static CSnapshotWorker* worker = [] {
    auto* made = new CSnapshotWorker([](char* outName, const char* outputSize, int channel) {
      ICameraChannels* channels = GetCameraChannels();
      return channels ? channels->Snapshot(outName, outputSize, channel) : 0;
    });
    g_worker.store(made);
    return made;
  }();
  return *worker;
}

CSnapshotWorker* SnapshotWorkerIfStarted() { return g_worker.load(); }
