// The lock-free pool of work buffers of the "blocks" evaluator.
#include "lmm/evaluate/scratch.hpp"

namespace qk {

ScratchPool::~ScratchPool() {
  for (auto& slot : slots_) delete slot.load();
}

ScratchPool::Buffer ScratchPool::take(std::size_t len) {
  for (auto& slot : slots_) {
    Buffer buf(slot.exchange(nullptr, std::memory_order_acquire));
    if (!buf) continue;
    if (buf->size() == len) return buf;
    // Not this length: back into its slot unless another buffer took it meanwhile.
    std::vector<double>* expected = nullptr;
    if (slot.compare_exchange_strong(expected, buf.get(), std::memory_order_release)) buf.release();
  }
  return std::make_unique<std::vector<double>>(len, 0.0);
}

void ScratchPool::give_back(Buffer buf) noexcept {
  for (auto& slot : slots_) {
    std::vector<double>* expected = nullptr;
    if (slot.compare_exchange_strong(expected, buf.get(), std::memory_order_release)) {
      buf.release();
      return;
    }
  }
}

std::size_t ScratchPool::size() const {
  std::size_t n = 0;
  for (const auto& slot : slots_) n += slot.load(std::memory_order_relaxed) != nullptr;
  return n;
}


}  // namespace qk
