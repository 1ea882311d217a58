// Memory that cannot be had is the one fatal stop besides a bad index: the user is told how
// many bytes were asked for, and the program ends.
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <new>
#include <string>

#include "runtime/program_texts.h"
#include "runtime/text.h"

// Referenced by the link options of the runtime library, so that every program that links it
// takes this allocator and not the standard one.
extern "C" const int ostrevan_reporting_allocator = 1;

namespace {

// Building and showing the report allocates too. When memory is so short that this fails as
// well, the report cannot be shown and the program ends with a short line on stderr.
thread_local bool t_reporting = false;

[[noreturn]] void ReportAllocationFailure(std::size_t bytes) {
  if (t_reporting) {
    constexpr char kLine[] = "out of memory\n";
    ssize_t ignored = write(STDERR_FILENO, kLine, sizeof kLine - 1);
    static_cast<void>(ignored);
    _exit(-1);
  }
  t_reporting = true;
  std::string message = ostrevan::texts::kAllocationFailedBefore + std::to_string(bytes) +
                        ostrevan::texts::kAllocationFailedAfter;
  ostrevan::FatalRuntimeError(0, message);
}

void* Allocate(std::size_t bytes) noexcept {
  return std::malloc(bytes == 0 ? 1 : bytes);
}

}  // namespace

void* operator new(std::size_t bytes) {
  for (;;) {
    if (void* block = Allocate(bytes)) {
      return block;
    }
    std::new_handler handler = std::get_new_handler();
    if (handler == nullptr) {
      ReportAllocationFailure(bytes);
    }
    handler();
  }
}

void* operator new[](std::size_t bytes) {
  return ::operator new(bytes);
}

// Callers that ask for nothrow handle the failure themselves.
void* operator new(std::size_t bytes, const std::nothrow_t&) noexcept {
  return Allocate(bytes);
}
void* operator new[](std::size_t bytes, const std::nothrow_t&) noexcept {
  return Allocate(bytes);
}

void* operator new(std::size_t bytes, std::align_val_t alignment) {
  void* block = nullptr;
  std::size_t align = std::max(static_cast<std::size_t>(alignment), sizeof(void*));
  if (posix_memalign(&block, align, bytes == 0 ? 1 : bytes) != 0) {
    ReportAllocationFailure(bytes);
  }
  return block;
}
void* operator new[](std::size_t bytes, std::align_val_t alignment) {
  return ::operator new(bytes, alignment);
}
void operator delete(void* block, std::align_val_t) noexcept {
  std::free(block);
}
void operator delete[](void* block, std::align_val_t) noexcept {
  std::free(block);
}
void operator delete(void* block, std::size_t, std::align_val_t) noexcept {
  std::free(block);
}
void operator delete[](void* block, std::size_t, std::align_val_t) noexcept {
  std::free(block);
}

void operator delete(void* block) noexcept {
  std::free(block);
}
void operator delete[](void* block) noexcept {
  std::free(block);
}
void operator delete(void* block, std::size_t) noexcept {
  std::free(block);
}
void operator delete[](void* block, std::size_t) noexcept {
  std::free(block);
}
void operator delete(void* block, const std::nothrow_t&) noexcept {
  std::free(block);
}
void operator delete[](void* block, const std::nothrow_t&) noexcept {
  std::free(block);
}
