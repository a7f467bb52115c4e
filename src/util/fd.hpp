#pragma once
// The one owner of an open file descriptor.
namespace util {

// Move-only; closes its descriptor when it goes. Nothing here throws, and
// closing in the destructor (or in reset) leaves errno as it was: an errno
// saved from a failed call stays readable however the scope is left.
class Fd {
 public:
  Fd() noexcept = default;
  // Takes `fd` over; a negative value (a failed open) owns nothing.
  explicit Fd(int fd) noexcept : fd_(fd) {}
  Fd(Fd&& o) noexcept : fd_(o.release()) {}
  Fd& operator=(Fd&& o) noexcept {
    if (this != &o) reset(o.release());
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { reset(); }

  int get() const noexcept { return fd_; }
  bool valid() const noexcept { return fd_ >= 0; }
  // Gives the descriptor up without closing it.
  int release() noexcept {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes the descriptor held (errno kept) and takes `fd` over.
  void reset(int fd = -1) noexcept;
  // Closes now, for callers that must know whether the close failed (a
  // write error can surface only there): 0, or close()'s errno, which is
  // also left in errno.
  int close() noexcept;

 private:
  int fd_ = -1;
};

}  // namespace util
