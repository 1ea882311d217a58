// Memory that cannot be had is the one fatal stop besides a bad index: the user is told how
// many bytes were asked for, and the program ends.
#include <cstdlib>
#include <new>
#include <string>

#include "runtime/text.h"

namespace {

[[noreturn]] void ReportAllocationFailure(std::size_t bytes) {
  std::string message = "分配 " + std::to_string(bytes) + " 字节内存失败!";
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
