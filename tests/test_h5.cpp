// The HDF5 layer: locked, missing, foreign and denied files are told apart.
#include <sys/stat.h>

#include "h5/h5.hpp"
#include "support.hpp"

using namespace testing_support;
using namespace std::string_literals;

namespace {

TEST(H5Layer, LockedMissingAndForeignFilesAreTold) {
  TempDir dir;
  const std::string good = dir / "good.h5";
  h5::File::open(good, h5::Mode::create).close();
  {
    HeldOpen held(good);
    try {
      h5::File::open(good, h5::Mode::read);
      FAIL() << "a file held for writing must not open";
    } catch (const h5::Error& e) {
      EXPECT_EQ(e.kind(), h5::ErrorKind::locked) << e.what();
      EXPECT_EQ(e.os_errno(), EAGAIN);
      EXPECT_TRUE(e.is_os_error());
      EXPECT_EQ(e.path(), good);
    }
  }
  EXPECT_NO_THROW(h5::File::open(good, h5::Mode::read));

  const std::string text = dir / "text.h5";
  write_file(text, "this is not an HDF5 file at all, just text");
  try {
    h5::File::open(text, h5::Mode::read);
    FAIL();
  } catch (const h5::Error& e) {
    EXPECT_EQ(e.kind(), h5::ErrorKind::damaged) << e.what();
    EXPECT_FALSE(e.is_os_error());
  }
  try {
    h5::File::open(dir / "absent.h5", h5::Mode::read);
    FAIL();
  } catch (const h5::Error& e) {
    EXPECT_EQ(e.kind(), h5::ErrorKind::not_found) << e.what();
  }
  // A FIFO at a file's name is refused at once, never waited on for a
  // writer (a child with an alarm, so a wait fails the test instead of
  // hanging it).
  const std::string fifo = dir / "fifo.h5";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
  for (const h5::Mode mode : {h5::Mode::read, h5::Mode::read_write})
    EXPECT_EQ(in_child([&] {
                ::alarm(20);
                try {
                  h5::File::open(fifo, mode);
                } catch (const h5::Error& e) {
                  return e.kind() == h5::ErrorKind::os ? 0 : 2;
                }
                return 1;
              }),
              0);
  EXPECT_TRUE(h5::blosc_available());
}

// The host's own handler of HDF5's error stacks: counts the stacks it is given.
herr_t count_stack(hid_t, void* calls) {
  ++*static_cast<int*>(calls);
  return 0;
}

// A host that prints HDF5's errors its own way keeps doing so around our
// calls, and our calls, failing ones too, hand it nothing to print.
TEST(H5Layer, KeepsTheHostsErrorPrintingAndPrintsNothingItself) {
  TempDir dir;
  const std::string path = dir / "f.h5";
  H5E_auto2_t host_func = nullptr;
  void* host_data = nullptr;
  ASSERT_GE(H5Eget_auto2(H5E_DEFAULT, &host_func, &host_data), 0);
  int calls = 0;
  H5Eset_auto2(H5E_DEFAULT, count_stack, &calls);
  const std::int64_t value = 7;
  {
    h5::File f = h5::File::open(path, h5::Mode::create);
    f.create_dataset("data", h5::Type(H5T_STD_I64LE, false), &value, 1, h5::DatasetOptions{});
    f.close();
  }
  std::int64_t read = 0;
  {
    const h5::File f = h5::File::open(path, h5::Mode::read);
    f.open_dataset("data").read(&read, H5T_NATIVE_INT64);
    EXPECT_THROW(f.open_dataset("absent"), h5::Error);
  }
  EXPECT_THROW(h5::File::open(dir / "absent.h5", h5::Mode::read), h5::Error);
  H5E_auto2_t func = nullptr;
  void* data = nullptr;
  H5Eget_auto2(H5E_DEFAULT, &func, &data);
  H5Eset_auto2(H5E_DEFAULT, host_func, host_data);
  EXPECT_EQ(read, value);
  EXPECT_EQ(func, &count_stack);
  EXPECT_EQ(data, &calls);
  EXPECT_EQ(calls, 0);
}

TEST(H5Layer, DeniedAccessIsAPermissionError) {
  TempDir dir;
  const std::string secret = dir / "secret.h5";
  h5::File::open(secret, h5::Mode::create).close();
  ::chmod(secret.c_str(), 0);  // denied to its owner too, unless root
  ::chmod(dir.path().c_str(), 0755);
  // Root reads any file, so as root the attempt runs as an unprivileged user.
  std::fflush(stdout);
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(3);
    try {
      h5::File::open(secret, h5::Mode::read);
      ::_exit(1);
    } catch (const h5::Error& e) {
      ::_exit(e.kind() == h5::ErrorKind::permission && e.os_errno() == EACCES && e.is_os_error() ? 0 : 2);
    }
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: opened, 2: misclassified, 3: could not drop privileges";
}

}  // namespace
