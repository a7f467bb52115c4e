#pragma once
// The service session and the instrument universe: (re)initialising the
// session with or without BJSE coverage, and resolving tags into ids.
#include <set>
#include <string>
#include <vector>

#include "tessal_plus/bundle/run.hpp"

namespace tessal_plus::bundle {

// Re-initialises the service session with BJSE coverage `tag`; the
// service's warnings are silenced during the call and the previous warning
// setting is restored on every exit. Errors of the service propagate.
void _switch_of_bjse(const Run& run, bool tag);
// The same, for the store checks; default without BJSE coverage.
void _init_quillon(const Run& run, bool enable_bjse = false);

// Resolves tags (class names of TAG_MAP, "all", underlying symbols of
// futures, order book ids) into the set of ids to update. Prints the
// unsupported tags. The session's BJSE coverage is as it was on every exit,
// also when a service call fails.
std::set<std::string> _merge_tags(const Run& run, const std::vector<std::string>& tags, bool with_derivatives, bool enable_bjse = false);

}  // namespace tessal_plus::bundle
