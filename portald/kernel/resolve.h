// Name resolution with a time limit, for the WeChat host whitelist. getaddrinfo cannot be
// given one, so each lookup of a pass runs on a thread of its own and the caller waits for
// the answers only until a deadline; a lookup still running then is abandoned (its answer is
// dropped when it comes, and its thread ends by itself once getaddrinfo returns).
//
// The resolver itself is a seam: tests replace it with one of fixed answers.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

namespace kernel {

// Resolves name to its IPv4 addresses (network byte order) in the resolver's order.
// Returns 0, or -1 when the name could not be resolved. Called on threads of its own, so an
// implementation must be safe to call concurrently.
using Resolver = int (*)(const char* name, std::vector<uint32_t>* addrs);

// The system resolver: getaddrinfo without a service, hints {AF_INET, SOCK_STREAM, 0, 0},
// every IPv4 address of the list in list order.
int system_resolve(const char* name, std::vector<uint32_t>* addrs);

// Replaces the resolver of later lookups (null restores system_resolve); returns the
// previous one. Not to be called while a lookup pass runs.
Resolver set_resolver(Resolver resolver);
Resolver current_resolver();

// Blocks until every lookup that a pass stopped waiting for at its deadline has returned.
// The daemon never needs it (such a lookup ends on its own, its answer unused); tests call it
// so that nothing is left running.
void wait_abandoned_lookups();

// The lookups of one pass, one slot per name, all running at once.
class LookupPass {
 public:
  using Clock = std::chrono::steady_clock;

  explicit LookupPass(size_t slots);
  // Threads that have answered are joined; the others are handed over to
  // wait_abandoned_lookups.
  ~LookupPass();

  LookupPass(const LookupPass&) = delete;
  LookupPass& operator=(const LookupPass&) = delete;

  // Starts the lookup of name in the slot; a thread that cannot be made leaves the name
  // unresolved.
  void start(size_t slot, Resolver resolver, const char* name);

  // The addresses of the slot's name, or null when its lookup failed, was not started or
  // has not answered by the deadline. The result lives as long as the pass.
  const std::vector<uint32_t>* wait(size_t slot, Clock::time_point deadline);

 private:
  struct Lookup;
  std::vector<std::shared_ptr<Lookup>> lookups_;
  std::vector<std::thread> threads_;
};

}  // namespace kernel
