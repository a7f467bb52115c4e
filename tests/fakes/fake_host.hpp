#pragma once
// What the fake host saw, for the tests that link it.
#include <string>
#include <vector>

namespace fake_host {
extern std::vector<std::string> log_lines;
extern int initializer_calls;
extern int daybar_calls;
}  // namespace fake_host
