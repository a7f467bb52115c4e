#pragma once
// The command line on a Python service client (--service python:MODULE):
// the interpreter is embedded, the module imported, and the client reached
// through the same adapters as in the Python package.
#include <functional>
#include <memory>
#include <string>

#include "tessal_plus/bundle/outside/market_data.hpp"

namespace cli {
// Throws util::Error (invalid_input) when the program was built without
// Python or the module cannot be imported.
std::shared_ptr<quillonc::Client> start_python_service(const std::string& module, std::function<bool()> host_ignores_warnings);
}  // namespace cli
