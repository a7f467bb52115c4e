#include <cstdlib>
#include <stdexcept>

#include "quillonc/sim_market.hpp"
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

std::shared_ptr<Client> make_client(const std::string& spec) { return std::make_shared<SimMarket>(SimSettings::parse(spec)); }

std::string service_spec(const std::string& from_command_line) {
  if (!from_command_line.empty()) return from_command_line;
  if (const char* env = std::getenv("TESSAL_SERVICE"); env && *env) return env;
  return "sim";
}

}  // namespace quillonc
