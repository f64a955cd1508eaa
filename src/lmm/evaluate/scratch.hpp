// Reusable work buffers of the "blocks" evaluator, whose first pass keeps per-group
// factors for its second: at most four kept per design.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <vector>

namespace qk {

// It holds no lock: a process forked while another thread had taken or was returning
// a buffer finds nothing to wait for in the child, and returning a buffer allocates
// nothing, so it cannot fail in the destructor that does it.
class ScratchPool {
 public:
  using Buffer = std::unique_ptr<std::vector<double>>;

  ScratchPool() = default;
  ScratchPool(const ScratchPool&) = delete;
  ScratchPool& operator=(const ScratchPool&) = delete;
  ~ScratchPool();

  // A kept buffer of `len` doubles as it was left, else a new one of zeros.
  Buffer take(std::size_t len);
  // Keeps buf when a slot is free, else frees it.
  void give_back(Buffer buf) noexcept;
  std::size_t size() const;

 private:
  std::atomic<std::vector<double>*> slots_[4] = {};
};

}  // namespace qk
