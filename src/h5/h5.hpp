#pragma once
// A thin RAII layer over the HDF5 C API: one owning handle per hid_t, and
// every failure turned into h5::Error, which keeps the operating-system errno
// that HDF5 recorded on its error stack (EAGAIN when another process holds
// the file lock, EACCES when access is denied) so callers can sort failures
// without reading message texts.
#include <hdf5.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "util/error.hpp"

namespace h5 {

namespace journal {
class Session;
struct State;
}

// HDF5 failures are util::Error: locked, permission, not_found and os when
// an operating-system error lies behind them, damaged otherwise (not an HDF5
// file, a damaged header or chunk, a missing dataset or member).
using Error = util::Error;
using util::ErrorKind;

// Builds an Error from HDF5's current error stack and clears the stack.
// The operating-system error comes from the frame where HDF5 recorded it
// ("errno = N" in its description, written when the system call failed),
// not from errno now, which the library's clean-up may have overwritten;
// a failed file lock is recognised by its minor code as well.
[[noreturn]] void throw_from_stack(const std::string& action, const std::string& path);
// The same Error, returned for callers that must clean up before throwing.
Error error_from_stack(const std::string& action, const std::string& path);

// Prepares the HDF5 library for this layer, once per process: registers
// the Blosc filter (id 32001) and the journaling file driver. File::open
// calls it (every use of the layer starts there), so a program never needs
// to; loading the library does nothing. Throws util::Error of kind unavailable (no fault of
// any file) when HDF5, the Blosc filter or the driver cannot be set up;
// later calls try again.
void initialize();

// While one lives, HDF5 prints no error stack to standard error (it would
// break progress bars and console texts; failures reach callers as
// exceptions instead), and when the outermost one goes, the printing the
// process had is put back: a host using HDF5 itself keeps its own setting.
// Every entry point of this layer holds one; nested ones cost nothing.
class QuietErrors {
 public:
  QuietErrors() noexcept;
  ~QuietErrors();
  QuietErrors(const QuietErrors&) = delete;
  QuietErrors& operator=(const QuietErrors&) = delete;

 private:
  bool outermost_ = false;
  bool saved_ = false;
  H5E_auto2_t func_ = nullptr;
  void* data_ = nullptr;
};

// Owning handle of one hid_t; move-only, closing never throws.
class Handle {
 public:
  using Closer = herr_t (*)(hid_t);
  Handle() = default;
  Handle(hid_t id, Closer closer) : id_(id), closer_(closer) {}
  Handle(Handle&& o) noexcept : id_(o.id_), closer_(o.closer_) { o.id_ = -1; }
  Handle& operator=(Handle&& o) noexcept;
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() { reset(); }
  hid_t get() const noexcept { return id_; }
  bool valid() const noexcept { return id_ >= 0; }
  void reset() noexcept;
  // Gives up ownership without closing.
  hid_t release() noexcept {
    const hid_t id = id_;
    id_ = -1;
    return id;
  }

 private:
  hid_t id_ = -1;
  Closer closer_ = nullptr;
};

// A datatype handle (compound record layouts are built with it).
class Type {
 public:
  Type() = default;
  explicit Type(hid_t id, bool owned = true);
  hid_t get() const noexcept { return h_.get(); }
  static Type compound(std::size_t size);
  // A compound of one member: reads that column of a compound dataset
  // (HDF5 matches members by name).
  static Type column(const char* name, hid_t member_type);
  // Inserts a member of a predefined type (e.g. H5T_STD_I64LE).
  Type& insert(const char* name, std::size_t offset, hid_t member_type);
  std::size_t size() const;
  bool is_compound() const;
  bool has_member(const std::string& name) const;
  std::vector<std::string> member_names() const;

 private:
  Handle h_;
};

struct FilterSpec {
  H5Z_filter_t id;
  std::vector<unsigned> cd_values;
};

struct DatasetOptions {
  bool resizable = false;                 // maximum shape unlimited
  hsize_t chunk_rows = 0;                 // 0: contiguous unless a filter needs chunks
  int deflate_level = -1;                 // -1: no deflate
  std::optional<FilterSpec> filter;       // e.g. Blosc
};

class Dataset {
 public:
  Dataset(Handle h, std::string path, std::string name, std::shared_ptr<const journal::State> file = {})
      : h_(std::move(h)), path_(std::move(path)), name_(std::move(name)), file_(std::move(file)) {}
  hid_t get() const noexcept { return h_.get(); }
  // The file the dataset is in, as it was opened.
  const std::string& path() const noexcept { return path_; }
  hsize_t size() const;
  Type type() const;
  // Bytes the dataset's stored chunks (or contiguous block) take in the file.
  std::uint64_t storage_size() const;
  // size(), refused as damaged when the declared rows of `itemsize` bytes
  // could not have come from the bytes stored (no filter shrinks data more
  // than about 1000 to 1): a damaged or hostile header must not make a
  // reader allocate what is not there.
  hsize_t checked_size(std::size_t itemsize) const;
  // Reads the whole dataset, or rows [start, start+count), into `buf`
  // converted to `memtype` (HDF5 matches compound members by name, so a
  // memtype with one member reads that column only).
  void read(void* buf, hid_t memtype) const;
  void read_rows(hsize_t start, hsize_t count, void* buf, hid_t memtype) const;
  void resize(hsize_t rows);
  void write_rows(hsize_t start, hsize_t count, const void* buf, hid_t memtype);
  // Creation settings, for checks and tests.
  std::vector<FilterSpec> filters() const;
  std::optional<hsize_t> chunk_rows() const;
  // Throws the error of a failed HDF5 call on this dataset (from HDF5's
  // error stack, or the file's failed write).
  [[noreturn]] void fail(const std::string& action) const;

 private:
  friend class File;
  // Throws the file's first failed write, if any (see journal::write_failure).
  void check_writes(const std::string& action) const;
  Handle h_;
  std::string path_;
  std::string name_;
  std::shared_ptr<const journal::State> file_;
};

enum class Mode {
  read,        // "r": read-only, the file must exist
  read_write,  // "r+": the file must exist
  create,      // "w": create, truncating an existing file
  append,      // "a": read/write if it exists, else create
  create_new,  // "x": create a file that must not exist yet (O_EXCL)
};

// Deletes an HDF5 file and its journal under the file's lock; Error
// `locked` when another process holds it, `not_found` when it is absent
// unless `missing_ok`.
void remove_file(const std::string& path, bool missing_ok = true);
// Deletes a left-over temporary file unless its writer still holds it.
bool remove_if_unheld(const std::string& path);

// An open HDF5 file. Every file goes through the journaling driver
// (journal.hpp), which locks it for as long as it is open. An existing file
// opened for writing (read_write, or append when it exists) is an update
// that is all or nothing:
// - close() commits it; if the close fails, the file is rolled back to how
//   it was opened and the failure is thrown.
// - Destroying a File that was not closed (an exception unwound past it)
//   rolls the update back.
// - A process that dies in between leaves a journal that the next open of
//   the file rolls back before reading it.
// Newly created files (create, or append when absent) have no journal:
// they are filled under a temporary name and renamed when complete.
class File {
 public:
  static File open(const std::string& path, Mode mode);
  File(File&& o) noexcept;
  File& operator=(File&& o) noexcept;
  ~File();
  const std::string& path() const noexcept { return path_; }
  hid_t get() const noexcept { return h_.get(); }
  std::vector<std::string> root_names() const;
  bool contains(const std::string& name) const;
  Dataset open_dataset(const std::string& name) const;
  // Creates a one-dimensional dataset of `rows` records of `type` from `data`.
  Dataset create_dataset(const std::string& name, const Type& type, const void* data, hsize_t rows,
                         const DatasetOptions& options);
  void unlink(const std::string& name);
  // Closes the file and commits an update. Objects of the file still open
  // (datasets) are closed with it.
  void close();
  // For a file made with Mode::create_new under a temporary name: closes
  // it, keeping its lock, and puts it in place of `final_path` (see
  // journal::install_file); on any failure the temporary file is removed
  // and the failure thrown (`locked` when another process holds the file
  // at `final_path`). A File made so and destroyed without this removes
  // its temporary file.
  void close_into(const std::string& final_path);

 private:
  File(Handle h, std::string path, std::unique_ptr<journal::Session> session);
  // Closes without committing: an update is rolled back.
  void abandon() noexcept;
  void check_writes(const std::string& action) const;
  std::shared_ptr<const journal::State> state() const;
  Handle h_;
  std::string path_;
  std::unique_ptr<journal::Session> session_;
  bool temporary_ = false;  // made by create_new: removed unless put in place
};

// New Blosc datasets are written as chunks compressed here (the default)
// or through HDF5's filter pipeline (tests compare the two).
void set_direct_blosc_writes(bool enabled);

// Whether the Blosc filter (id 32001) is registered with the HDF5 library
// (initialize() succeeds).
bool blosc_available();
constexpr H5Z_filter_t kBloscFilter = 32001;

}  // namespace h5
