#pragma once
// The sample bundle, the one header of the sample subsystem the rest of
// the module and the command line include. The folder's other headers are
// its own parts: the transfer (transfer.hpp), the unpacker (unpack.hpp)
// and the judge of archive members (member_filter.hpp).
#include <functional>
#include <optional>
#include <string>

#include "tessal_plus/bundle/run.hpp"

namespace tessal_plus::bundle {

// Installs the sample bundle into <data_bundle_path>/bundle, from the asset
// server (TESSAL_ASSET_HOST, through TESSAL_PROXY) or from the local archive
// `file_path`, which must be named vxbundle_sample.tar.bz2 (otherwise it
// says why and installs nothing). The archive is unpacked through a staging
// folder: a refused member, a limit reached or an interrupt leaves the
// bundle folder as it was. Throws util::Error (network, archive or an OS
// kind); SIGINT or SIGTERM end the process as the signal asks, once the
// temporary files are gone.
// Run::interrupt_check, when set, is polled instead of installing handlers.
void download_simple_bundle(const Run& run, const std::string& data_bundle_path, bool sample,
                            const std::optional<std::string>& file_path);

// Packs a small bundle of the current service into
// <output_folder>/vxbundle_sample.tar.bz2; true when no instrument failed.
bool pack_sample_bundle(const Run& run, const std::string& output_folder, int concurrency);

}  // namespace tessal_plus::bundle
