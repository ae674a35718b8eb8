#include "kernel/resolve.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <system_error>
#include <utility>

namespace kernel {

struct LookupPass::Lookup {
  std::mutex mu;
  std::condition_variable cv;
  bool done = false;  // guarded by mu, as are rc and addrs
  int rc = -1;
  std::vector<uint32_t> addrs;
};

namespace {

Resolver g_resolver = system_resolve;

// Threads of abandoned lookups, joined by wait_abandoned_lookups. Never destroyed, so that a
// process that exits while one still runs does not destroy a joinable thread.
std::mutex g_abandoned_mu;
std::vector<std::thread>* const g_abandoned = new std::vector<std::thread>;

}  // namespace

LookupPass::LookupPass(size_t slots) : lookups_(slots), threads_(slots) {}

LookupPass::~LookupPass() {
  for (size_t i = 0; i < threads_.size(); ++i) {
    if (!threads_[i].joinable()) continue;
    bool done;
    {
      std::lock_guard<std::mutex> lock(lookups_[i]->mu);
      done = lookups_[i]->done;
    }
    if (done) {
      threads_[i].join();
    } else {
      std::lock_guard<std::mutex> lock(g_abandoned_mu);
      g_abandoned->push_back(std::move(threads_[i]));
    }
  }
}

void LookupPass::start(size_t slot, Resolver resolver, const char* name) {
  lookups_[slot] = std::make_shared<Lookup>();
  auto run = [](Resolver r, std::string n, std::shared_ptr<Lookup> lookup) {
    std::vector<uint32_t> addrs;
    const int rc = r(n.c_str(), &addrs);
    std::lock_guard<std::mutex> lock(lookup->mu);
    lookup->rc = rc;
    lookup->addrs = std::move(addrs);
    lookup->done = true;
    lookup->cv.notify_all();
  };
  try {
    threads_[slot] = std::thread(run, resolver, std::string(name), lookups_[slot]);
  } catch (const std::system_error&) {
    lookups_[slot]->done = true;  // no thread: an unresolved name
  }
}

const std::vector<uint32_t>* LookupPass::wait(size_t slot, Clock::time_point deadline) {
  if (!lookups_[slot]) return nullptr;
  Lookup& l = *lookups_[slot];
  std::unique_lock<std::mutex> lock(l.mu);
  if (!l.cv.wait_until(lock, deadline, [&l] { return l.done; })) return nullptr;
  return l.rc == 0 ? &l.addrs : nullptr;
}

int system_resolve(const char* name, std::vector<uint32_t>* addrs) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = 0;
  hints.ai_flags = 0;
  addrinfo* list = nullptr;
  if (getaddrinfo(name, nullptr, &hints, &list) != 0) return -1;
  for (const addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
    if (ai->ai_family != AF_INET || ai->ai_addr == nullptr) continue;
    sockaddr_in sin;
    std::memcpy(&sin, ai->ai_addr, sizeof sin);
    addrs->push_back(sin.sin_addr.s_addr);
  }
  freeaddrinfo(list);
  return 0;
}

Resolver set_resolver(Resolver resolver) {
  const Resolver previous = g_resolver;
  g_resolver = resolver != nullptr ? resolver : system_resolve;
  return previous;
}

Resolver current_resolver() { return g_resolver; }

void wait_abandoned_lookups() {
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> lock(g_abandoned_mu);
    threads.swap(*g_abandoned);
  }
  for (std::thread& t : threads) t.join();
}

}  // namespace kernel
