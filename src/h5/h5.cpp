#include "h5/h5.hpp"

#include "h5/blosc_chunks.hpp"
#include "h5/journal.hpp"

#include <blosc_filter.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include <fmt/format.h>

namespace h5 {
namespace {

std::mutex g_init_mutex;
bool g_initialized = false;

// QuietErrors held by this thread; HDF5 is used from one thread at a time.
thread_local int t_quiet_depth = 0;

}  // namespace

namespace {
// A set-up that failed is no fault of any file (a check must not call its
// files broken for it): kind unavailable.
[[noreturn]] void cannot_set_up(const std::string& what) {
  H5Eclear2(H5E_DEFAULT);
  throw Error(ErrorKind::unavailable, "", what);
}
}  // namespace

void initialize() {
  const std::lock_guard<std::mutex> lock(g_init_mutex);
  if (g_initialized) return;
  const QuietErrors quiet;
  if (H5open() < 0) cannot_set_up("the HDF5 library could not be initialised");
  char* version = nullptr;
  char* date = nullptr;
  const bool blosc = register_blosc(&version, &date) >= 0;
  std::free(version);
  std::free(date);
  if (!blosc) cannot_set_up("the Blosc HDF5 filter (id 32001) could not be registered with the HDF5 library");
  if (journal::driver_id() < 0) cannot_set_up("the journaling file driver could not be registered with the HDF5 library");
  g_initialized = true;
}

QuietErrors::QuietErrors() noexcept {
  if (t_quiet_depth++ > 0) return;
  outermost_ = true;
  // A host that set its handler through the old API cannot have it read
  // back here; it is left as it is.
  saved_ = H5Eget_auto2(H5E_DEFAULT, &func_, &data_) >= 0;
  if (saved_) H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
  else H5Eclear2(H5E_DEFAULT);
}

QuietErrors::~QuietErrors() {
  --t_quiet_depth;
  if (outermost_ && saved_) H5Eset_auto2(H5E_DEFAULT, func_, data_);
}

namespace {

struct StackInfo {
  int os_errno = 0;
  bool lock = false;
  std::vector<std::string> descs;
};

herr_t walk_frame(unsigned, const H5E_error2_t* e, void* data) {
  auto* info = static_cast<StackInfo*>(data);
  if (e->min_num == H5E_CANTLOCKFILE) info->lock = true;
  if (e->desc) {
    std::string desc(e->desc);
    if (const auto at = desc.find("errno = "); at != std::string::npos && info->os_errno == 0)
      info->os_errno = std::atoi(desc.c_str() + at + 8);
    if (info->descs.size() < 3) info->descs.push_back(std::move(desc));
  }
  return 0;
}

}  // namespace

Error error_from_stack(const std::string& action, const std::string& path) {
  StackInfo info;
  H5Ewalk2(H5E_DEFAULT, H5E_WALK_UPWARD, walk_frame, &info);
  H5Eclear2(H5E_DEFAULT);
  std::string detail;
  for (const auto& d : info.descs) detail += (detail.empty() ? "" : "; ") + d;
  const int err = info.os_errno;
  ErrorKind kind = ErrorKind::damaged;
  if (info.lock) kind = ErrorKind::locked;
  else if (err != 0) kind = util::kind_of_errno(err);
  const int reported = err != 0 ? err : (kind == ErrorKind::locked ? EAGAIN : 0);
  return Error(kind, path,
               fmt::format("{} '{}': {}{}", action, path, detail.empty() ? "HDF5 error" : detail,
                           reported ? fmt::format(" [{}]", std::strerror(reported)) : ""),
               reported);
}

void throw_from_stack(const std::string& action, const std::string& path) { throw error_from_stack(action, path); }

namespace {

// A write the journaling driver could not do is not an HDF5 error (see
// journal::write_failure); it is told here, after the call that caused it.
void throw_write_failure(const journal::State* file, const std::string& action, const std::string& path) {
  if (!file) return;
  const auto failure = journal::write_failure(*file);
  if (!failure) return;
  const int err = failure->os_errno;
  throw Error(err != 0 ? util::kind_of_errno(err) : ErrorKind::os, path,
              fmt::format("{} '{}': {}{}", action, path, failure->message, err ? fmt::format(" [{}]", std::strerror(err)) : ""),
              err);
}

}  // namespace

Handle& Handle::operator=(Handle&& o) noexcept {
  if (this != &o) {
    reset();
    id_ = o.id_;
    closer_ = o.closer_;
    o.id_ = -1;
  }
  return *this;
}

void Handle::reset() noexcept {
  if (id_ >= 0 && closer_) {
    const QuietErrors quiet;
    closer_(id_);
    H5Eclear2(H5E_DEFAULT);
  }
  id_ = -1;
}

// ---- Type ----

static herr_t no_close(hid_t) { return 0; }

Type::Type(hid_t id, bool owned) : h_(id, owned ? H5Tclose : no_close) {}

Type Type::compound(std::size_t size) {
  const QuietErrors quiet;
  const hid_t id = H5Tcreate(H5T_COMPOUND, size);
  if (id < 0) throw_from_stack("cannot create compound type", "");
  return Type(id);
}

Type Type::column(const char* name, hid_t member_type) {
  Type t = compound(H5Tget_size(member_type));
  t.insert(name, 0, member_type);
  return t;
}

Type& Type::insert(const char* name, std::size_t offset, hid_t member_type) {
  const QuietErrors quiet;
  if (H5Tinsert(get(), name, offset, member_type) < 0) throw_from_stack(fmt::format("cannot add member {}", name), "");
  return *this;
}

std::size_t Type::size() const {
  const QuietErrors quiet;
  return H5Tget_size(get());
}
bool Type::is_compound() const {
  const QuietErrors quiet;
  return H5Tget_class(get()) == H5T_COMPOUND;
}

bool Type::has_member(const std::string& name) const {
  const QuietErrors quiet;
  if (!is_compound()) return false;
  const int idx = H5Tget_member_index(get(), name.c_str());
  H5Eclear2(H5E_DEFAULT);
  return idx >= 0;
}

std::vector<std::string> Type::member_names() const {
  const QuietErrors quiet;
  std::vector<std::string> out;
  if (!is_compound()) return out;
  const int n = H5Tget_nmembers(get());
  for (int i = 0; i < n; ++i) {
    char* name = H5Tget_member_name(get(), static_cast<unsigned>(i));
    out.emplace_back(name ? name : "");
    H5free_memory(name);
  }
  return out;
}

// ---- Dataset ----

void Dataset::check_writes(const std::string& action) const {
  throw_write_failure(file_.get(), fmt::format("{} dataset '{}' of", action, name_), path_);
}

void Dataset::fail(const std::string& action) const {
  // After a failed write, what went wrong next follows from it.
  check_writes(action);
  throw_from_stack(fmt::format("{} dataset '{}' of", action, name_), path_);
}

hsize_t Dataset::size() const {
  const QuietErrors quiet;
  Handle space(H5Dget_space(get()), H5Sclose);
  if (!space.valid()) fail("cannot get the shape of");
  hsize_t dims[1] = {0};
  if (H5Sget_simple_extent_ndims(space.get()) != 1) {
    throw Error(ErrorKind::damaged, path_, fmt::format("dataset '{}' of '{}' is not one-dimensional", name_, path_));
  }
  H5Sget_simple_extent_dims(space.get(), dims, nullptr);
  return dims[0];
}

Type Dataset::type() const {
  const QuietErrors quiet;
  const hid_t t = H5Dget_type(get());
  if (t < 0) fail("cannot get the type of");
  return Type(t);
}

std::uint64_t Dataset::storage_size() const {
  const QuietErrors quiet;
  return H5Dget_storage_size(get());
}

hsize_t Dataset::checked_size(std::size_t itemsize) const {
  const hsize_t n = size();
  constexpr std::uint64_t kMaxRatio = 1100, kSlack = 1 << 20;
  const std::uint64_t stored = storage_size();
  if (n > 0 && (n > (std::uint64_t{1} << 40) / std::max<std::size_t>(itemsize, 1) || n * itemsize > stored * kMaxRatio + kSlack))
    throw Error(ErrorKind::damaged, path_,
                fmt::format("dataset '{}' of '{}' declares {} rows of {} bytes but stores only {} bytes", name_, path_, n, itemsize,
                            stored));
  return n;
}

void Dataset::read(void* buf, hid_t memtype) const {
  const QuietErrors quiet;
  if (size() == 0) return;
  if (H5Dread(get(), memtype, H5S_ALL, H5S_ALL, H5P_DEFAULT, buf) < 0) fail("cannot read");
}

namespace {
// The transfer of a read of `count` records into `memtype`. HDF5 converts
// through a buffer and a background buffer of 1 MiB each by default,
// allocated and cleared for every read: for the few records a writer reads
// (the last bar's time, an index row) that is most of its cost, so a small
// read gets buffers of its own size.
//
// The lists are kept per thread by buffer size (a writer reads rows of two
// or three sizes), never closed: making one costs as much as a small read.
hid_t transfer_of(hid_t dset, hsize_t count, hid_t memtype) {
  constexpr std::size_t kDefaultBuffer = 1 << 20;
  const Handle filetype(H5Dget_type(dset), H5Tclose);
  const std::size_t record = std::max(H5Tget_size(memtype), filetype.valid() ? H5Tget_size(filetype.get()) : 0);
  if (record == 0 || count >= kDefaultBuffer / record) return H5P_DEFAULT;
  struct Kept {
    std::size_t bytes = 0;
    hid_t dxpl = H5I_INVALID_HID;
  };
  constexpr std::size_t kKept = 8;
  thread_local Kept kept[kKept];
  thread_local std::size_t next = 0;
  const std::size_t bytes = record * static_cast<std::size_t>(count);
  for (const Kept& k : kept)
    if (k.bytes == bytes && H5Iis_valid(k.dxpl) > 0) return k.dxpl;
  const hid_t dxpl = H5Pcreate(H5P_DATASET_XFER);
  if (dxpl < 0) return H5P_DEFAULT;
  if (H5Pset_buffer(dxpl, bytes, nullptr, nullptr) < 0) {
    H5Pclose(dxpl);
    return H5P_DEFAULT;
  }
  Kept& slot = kept[next++ % kKept];
  if (H5Iis_valid(slot.dxpl) > 0) H5Pclose(slot.dxpl);
  slot = {bytes, dxpl};
  return dxpl;
}
}  // namespace

void Dataset::read_rows(hsize_t start, hsize_t count, void* buf, hid_t memtype) const {
  const QuietErrors quiet;
  if (count == 0) return;
  Handle space(H5Dget_space(get()), H5Sclose);
  hsize_t s[1] = {start}, c[1] = {count};
  if (!space.valid() || H5Sselect_hyperslab(space.get(), H5S_SELECT_SET, s, nullptr, c, nullptr) < 0) fail("cannot select rows of");
  Handle mem(H5Screate_simple(1, c, nullptr), H5Sclose);
  if (H5Dread(get(), memtype, mem.get(), space.get(), transfer_of(get(), count, memtype), buf) < 0) fail("cannot read");
}

void Dataset::resize(hsize_t rows) {
  const QuietErrors quiet;
  hsize_t d[1] = {rows};
  if (H5Dset_extent(get(), d) < 0) fail("cannot resize");
  check_writes("cannot resize");
}

void Dataset::write_rows(hsize_t start, hsize_t count, const void* buf, hid_t memtype) {
  const QuietErrors quiet;
  if (count == 0) return;
  Handle space(H5Dget_space(get()), H5Sclose);
  hsize_t s[1] = {start}, c[1] = {count};
  if (!space.valid() || H5Sselect_hyperslab(space.get(), H5S_SELECT_SET, s, nullptr, c, nullptr) < 0) fail("cannot select rows of");
  Handle mem(H5Screate_simple(1, c, nullptr), H5Sclose);
  if (H5Dwrite(get(), memtype, mem.get(), space.get(), H5P_DEFAULT, buf) < 0) fail("cannot write");
  // As in create_dataset: a failure flushing the chunks must reach the caller.
  if (H5Dflush(get()) < 0) fail("cannot write");
  check_writes("cannot write");
}

std::vector<FilterSpec> Dataset::filters() const {
  const QuietErrors quiet;
  Handle dcpl(H5Dget_create_plist(get()), H5Pclose);
  std::vector<FilterSpec> out;
  const int n = H5Pget_nfilters(dcpl.get());
  for (int i = 0; i < n; ++i) {
    unsigned flags = 0, cd[16];
    std::size_t ncd = 16;
    char name[64];
    unsigned config = 0;
    const H5Z_filter_t id = H5Pget_filter2(dcpl.get(), static_cast<unsigned>(i), &flags, &ncd, cd, sizeof name, name, &config);
    out.push_back({id, std::vector<unsigned>(cd, cd + std::min<std::size_t>(ncd, 16))});
  }
  return out;
}

std::optional<hsize_t> Dataset::chunk_rows() const {
  const QuietErrors quiet;
  Handle dcpl(H5Dget_create_plist(get()), H5Pclose);
  if (H5Pget_layout(dcpl.get()) != H5D_CHUNKED) return std::nullopt;
  hsize_t c[1] = {0};
  H5Pget_chunk(dcpl.get(), 1, c);
  return c[0];
}

// ---- File ----

File::File(Handle h, std::string path, std::unique_ptr<journal::Session> session)
    : h_(std::move(h)), path_(std::move(path)), session_(std::move(session)) {}

File::File(File&& o) noexcept
    : h_(std::move(o.h_)), path_(std::move(o.path_)), session_(std::move(o.session_)), temporary_(o.temporary_) {
  o.temporary_ = false;
}

File& File::operator=(File&& o) noexcept {
  if (this != &o) {
    abandon();
    h_ = std::move(o.h_);
    path_ = std::move(o.path_);
    session_ = std::move(o.session_);
    temporary_ = o.temporary_;
    o.temporary_ = false;
  }
  return *this;
}

File::~File() { abandon(); }

void File::abandon() noexcept {
  if (!session_) return;
  const QuietErrors quiet;
  // An update that was not closed is rolled back. HDF5's close still runs
  // (so that the library lets go of the file cleanly), with its writes kept
  // from the disk: they would only be undone.
  const bool update = session_->is_update();
  if (update) session_->discard();
  h_.reset();
  session_->finish(!update, temporary_);
  // Removed while still locked: nobody else can have taken it meanwhile.
  if (temporary_) ::unlink(path_.c_str());
  temporary_ = false;
  session_.reset();
}

File File::open(const std::string& path, Mode mode) {
  const QuietErrors quiet;
  initialize();
  auto session = std::make_unique<journal::Session>();
  // One access list per thread, given each open's session: making a list
  // costs as much as reading a small file's header.
  thread_local hid_t kept = H5I_INVALID_HID;
  if (H5Iis_valid(kept) <= 0) {
    kept = H5Pcreate(H5P_FILE_ACCESS);
    // Closing the file closes every object still open in it, so the close
    // that commits is the last word on the file.
    if (kept >= 0 && H5Pset_fclose_degree(kept, H5F_CLOSE_STRONG) < 0) {
      H5Pclose(kept);
      kept = H5I_INVALID_HID;
    }
  }
  const hid_t fapl = kept;
  if (fapl < 0 || !session->attach(fapl)) throw_from_stack("cannot open HDF5 file", path);
  hid_t id = -1;
  auto open_existing = [&](unsigned flags) { return H5Fopen(path.c_str(), flags, fapl); };
  auto create = [&](unsigned flags) { return H5Fcreate(path.c_str(), flags, H5P_DEFAULT, fapl); };
  switch (mode) {
    case Mode::read: id = open_existing(H5F_ACC_RDONLY); break;
    case Mode::read_write: id = open_existing(H5F_ACC_RDWR); break;
    case Mode::create: id = create(H5F_ACC_TRUNC); break;
    case Mode::create_new: id = create(H5F_ACC_EXCL); break;
    case Mode::append: {
      struct stat st{};
      id = ::stat(path.c_str(), &st) == 0 ? open_existing(H5F_ACC_RDWR) : create(H5F_ACC_EXCL);
      break;
    }
  }
  if (id < 0) {
    const Error e = error_from_stack("cannot open HDF5 file", path);
    session->finish(false);
    throw e;
  }
  File f(Handle(id, H5Fclose), path, std::move(session));
  f.temporary_ = mode == Mode::create_new;
  // HDF5 writes to a file it opens for writing (the superblock): a failure
  // there rolls back (when `f` goes) and is told as the open's.
  f.check_writes("cannot open HDF5 file");
  return f;
}

static herr_t collect_name(hid_t, const char* name, const H5L_info_t*, void* data) {
  static_cast<std::vector<std::string>*>(data)->emplace_back(name);
  return 0;
}

std::vector<std::string> File::root_names() const {
  const QuietErrors quiet;
  std::vector<std::string> names;
  hsize_t idx = 0;
  if (H5Literate(get(), H5_INDEX_NAME, H5_ITER_INC, &idx, collect_name, &names) < 0)
    throw_from_stack("cannot list the root of", path_);
  return names;
}

bool File::contains(const std::string& name) const {
  const QuietErrors quiet;
  const htri_t r = H5Lexists(get(), name.c_str(), H5P_DEFAULT);
  if (r < 0) throw_from_stack(fmt::format("cannot look up '{}' in", name), path_);
  return r > 0;
}

Dataset File::open_dataset(const std::string& name) const {
  const QuietErrors quiet;
  const hid_t id = H5Dopen2(get(), name.c_str(), H5P_DEFAULT);
  if (id < 0) throw_from_stack(fmt::format("cannot open dataset '{}' of", name), path_);
  return Dataset(Handle(id, H5Dclose), path_, name, state());
}

namespace {
bool g_direct_blosc = true;
}  // namespace

void set_direct_blosc_writes(bool enabled) { g_direct_blosc = enabled; }

Dataset File::create_dataset(const std::string& name, const Type& type, const void* data, hsize_t rows,
                             const DatasetOptions& o) {
  const QuietErrors quiet;
  hsize_t dims[1] = {rows};
  hsize_t maxdims[1] = {o.resizable ? H5S_UNLIMITED : rows};
  Handle space(H5Screate_simple(1, dims, maxdims), H5Sclose);
  Handle dcpl(H5Pcreate(H5P_DATASET_CREATE), H5Pclose);
  auto fail = [&](const char* what) {
    check_writes(fmt::format("cannot create dataset '{}' in", name));
    throw_from_stack(fmt::format("cannot create dataset '{}' ({}) in", name, what), path_);
  };
  if (!space.valid() || !dcpl.valid()) fail("property lists");
  // No time stamps: the same content gives the same bytes.
  H5Pset_obj_track_times(dcpl.get(), 0);
  const bool needs_chunks = o.resizable || o.deflate_level >= 0 || o.filter.has_value();
  const hsize_t chunk_rows = o.chunk_rows ? o.chunk_rows : std::max<hsize_t>(1, std::min<hsize_t>(rows, 16384));
  if (needs_chunks) {
    hsize_t chunk[1] = {chunk_rows};
    if (H5Pset_chunk(dcpl.get(), 1, chunk) < 0) fail("chunk");
  }
  if (o.deflate_level >= 0 && H5Pset_deflate(dcpl.get(), static_cast<unsigned>(o.deflate_level)) < 0) fail("deflate");
  // Blosc chunks are compressed here unless deflate comes too (see blosc_chunks.hpp).
  const bool direct = g_direct_blosc && rows > 0 && o.filter && o.filter->id == kBloscFilter && o.deflate_level < 0;
  const std::optional<BloscSettings> blosc =
      direct ? std::optional(BloscSettings::parse(*o.filter, type.size(), path_)) : std::nullopt;
  if (o.filter) {
    // Optional, as h5py sets a filter given by number: a chunk the filter
    // cannot shrink (Blosc gives up on a few hundred random bytes) is stored
    // as it is instead of failing the write.
    if (H5Pset_filter(dcpl.get(), o.filter->id, H5Z_FLAG_OPTIONAL, o.filter->cd_values.size(), o.filter->cd_values.data()) < 0)
      fail("filter");
  }
  const hid_t id = H5Dcreate2(get(), name.c_str(), type.get(), space.get(), H5P_DEFAULT, dcpl.get(), H5P_DEFAULT);
  if (id < 0) fail("create");
  Dataset ds(Handle(id, H5Dclose), path_, name, state());
  if (blosc) write_blosc_chunks(ds, *blosc, data, rows, type.size(), chunk_rows);
  else if (rows > 0 && H5Dwrite(id, type.get(), H5S_ALL, H5S_ALL, H5P_DEFAULT, data) < 0) ds.fail("cannot write");
  // Chunks wait in HDF5's cache until the dataset is flushed or closed, and
  // a failure then (a filter, a full disk) would only surface in a closing
  // call that cannot report it: flush now, where it can.
  if (rows > 0 && H5Dflush(id) < 0) ds.fail("cannot write");
  check_writes(fmt::format("cannot create dataset '{}' in", name));
  return ds;
}

void File::unlink(const std::string& name) {
  const QuietErrors quiet;
  if (H5Ldelete(get(), name.c_str(), H5P_DEFAULT) < 0) {
    check_writes(fmt::format("cannot delete dataset '{}' of", name));
    throw_from_stack(fmt::format("cannot delete dataset '{}' of", name), path_);
  }
  check_writes(fmt::format("cannot delete dataset '{}' of", name));
}

void File::check_writes(const std::string& action) const { throw_write_failure(state().get(), action, path_); }

std::shared_ptr<const journal::State> File::state() const { return session_ ? session_->state_ : nullptr; }

void File::close() {
  const QuietErrors quiet;
  if (!h_.valid()) return;
  const bool closed = H5Fclose(h_.release()) >= 0;
  std::optional<Error> failure;
  if (!closed) failure = error_from_stack("cannot close", path_);
  const journal::Outcome o = session_ ? session_->finish(closed) : journal::Outcome{};
  session_.reset();
  if (!failure && o.ok) return;
  ErrorKind kind = failure ? failure->kind() : o.os_errno != 0 ? util::kind_of_errno(o.os_errno) : ErrorKind::damaged;
  const int err = failure ? failure->os_errno() : o.os_errno;
  std::string what = failure ? std::string(failure->what())
                             : fmt::format("cannot close '{}': {}{}", path_, o.message,
                                           err ? fmt::format(" [{}]", std::strerror(err)) : "");
  if (o.rolled_back) what += " (rolled back to how it was opened)";
  else if (failure && !o.ok) what += "; " + o.message;
  throw Error(kind, path_, what, err);
}

void File::close_into(const std::string& final_path) {
  const QuietErrors quiet;
  if (!h_.valid()) throw Error(ErrorKind::invalid_input, path_, fmt::format("'{}' is not open", path_));
  const bool closed = H5Fclose(h_.release()) >= 0;
  std::optional<Error> failure;
  if (!closed) failure = error_from_stack("cannot close", path_);
  const journal::Outcome o = session_->finish(closed, true);
  if (!failure && !o.ok)
    failure = Error(o.os_errno ? util::kind_of_errno(o.os_errno) : ErrorKind::os, path_,
                    fmt::format("cannot close '{}': {}", path_, o.message), o.os_errno);
  if (!failure) {
    const journal::Outcome put = journal::install_file(path_, final_path);
    if (!put.ok)
      failure = Error(put.os_errno ? util::kind_of_errno(put.os_errno) : ErrorKind::os, final_path,
                      put.os_errno ? fmt::format("{} [{}]", put.message, std::strerror(put.os_errno)) : put.message, put.os_errno);
  }
  if (failure) ::unlink(path_.c_str());
  temporary_ = false;
  session_.reset();  // releases the lock
  if (failure) throw *failure;
}

void remove_file(const std::string& path, bool missing_ok) {
  const journal::Outcome o = journal::remove_file(path);
  if (!o.ok && !(missing_ok && o.os_errno == ENOENT))
    throw Error(util::kind_of_errno(o.os_errno), path, fmt::format("{} [{}]", o.message, std::strerror(o.os_errno)), o.os_errno);
}

bool remove_if_unheld(const std::string& path) { return journal::remove_if_unheld(path); }

bool blosc_available() {
  try {
    initialize();
    return true;
  } catch (const Error&) {
    return false;
  }
}

}  // namespace h5
