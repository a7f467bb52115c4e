#pragma once
// The sample bundle, the one header of the sample subsystem the rest of
// the module and the command line include. The folder's other headers are
// its own parts: the transfer (transfer.hpp), the unpacker (unpack.hpp)
// and the judge of archive members (member_filter.hpp).
#include <functional>
#include <optional>
#include <string>

namespace tessal_plus::bundle {

// Installs the sample bundle into <data_bundle_path>/bundle, from the asset
// server (TESSAL_ASSET_HOST, through TESSAL_PROXY) or from the local archive
// `file_path`, which must be named vxbundle_sample.tar.bz2 (otherwise it
// says why and installs nothing). The archive is unpacked through a staging
// folder: a refused member, a limit reached or an interrupt leaves the
// bundle folder as it was. Throws util::Error (network, archive or an OS
// kind); SIGINT or SIGTERM end the process as the signal asks, once the
// temporary files are gone (see set_interrupt_check for a program that
// handles its signals itself).
void download_simple_bundle(const std::string& data_bundle_path, bool sample, const std::optional<std::string>& file_path);

// For a program that embeds the module and handles its signals itself (the
// Python interpreter): the download then installs no handler of its own
// and calls `check` about every tenth of a second while it transfers and
// unpacks; what `check` throws (the program's own interruption) ends the
// download, with the temporary files removed, and reaches the caller.
void set_interrupt_check(std::function<void()> check);

// Packs a small bundle of the current service into
// <output_folder>/vxbundle_sample.tar.bz2; true when no instrument failed.
bool pack_sample_bundle(const std::string& output_folder, int concurrency);

}  // namespace tessal_plus::bundle
