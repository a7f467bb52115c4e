// The one place that holds the installed market-data service client.
#include <stdexcept>

#include "tessal_plus/bundle/outside/market_data.hpp"

namespace quillonc {
namespace {
std::shared_ptr<Client>& slot() {
  static std::shared_ptr<Client> c;
  return c;
}
}  // namespace

Client& client() {
  if (!slot()) throw std::logic_error("no market-data service client is installed");
  return *slot();
}

void install(std::shared_ptr<Client> c) { slot() = std::move(c); }

void worker_started() {
  if (slot()) slot()->on_worker_start();
}

}  // namespace quillonc
