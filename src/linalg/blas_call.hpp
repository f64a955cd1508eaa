// A guard around every call into OpenBLAS, so that exhausted memory there is a
// std::bad_alloc (OutOfMemory, which says so), not the end of the process.
//
// OpenBLAS takes each call's work buffer from a process-wide table of slots. A slot's
// memory (32 MiB, one mapping) is mapped the first time a call takes that slot and kept
// for the life of the process; when the mapping fails, OpenBLAS retries ten times,
// prints "Memory allocation still failed after 10 retries" and calls exit(). A call
// takes the lowest free slot, so the mapped slots are always the first ones of the
// table, and a call maps a new one only when more calls are inside OpenBLAS at once
// than ever before.
//
// BlasCall counts the calls under way (nested guards on one thread count once). A call
// that may be one more at once than the slots known to be mapped first maps and unmaps
// a slot's worth of address space itself, throwing OutOfMemory when that fails, and
// such calls run one at a time, so that the space found is theirs. A call whose every
// companion stayed under way from its start to its end has proved that many slots
// mapped; later calls up to that many take the fast path: two atomic counts. Placement
// of the guard never changes a result.
#pragma once

namespace qk::lapack {

class BlasCall {
 public:
  BlasCall();
  ~BlasCall();
  BlasCall(const BlasCall&) = delete;
  BlasCall& operator=(const BlasCall&) = delete;

 private:
  unsigned long at_once_ = 0;   // calls under way when this one began (0: nested, no count)
  unsigned long exits_ = 0;     // guards ended before this one began
  bool serialised_ = false;     // holds the slow path's lock
};

// The slots known to be mapped (for tests).
unsigned long blas_slots_known();

}  // namespace qk::lapack
