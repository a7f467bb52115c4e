// The native host: its clock and conversions, and the process pool with
// the run's shared flag, dead workers and the client's per-worker hook.
#include <signal.h>

#include <iterator>

#include "support.hpp"
#include "tessal_plus/bundle/commands.hpp"

using namespace testing_support;

namespace {

TEST(Clock, PinnedClockAndConversions) {
  PinClock clock("2024-02-29 09:31:05.250");
  const auto now = host().datetime_now();
  EXPECT_EQ(host().convert_dt_to_int(now), 20240229093105);
  EXPECT_EQ(host().date_to_number(now), 20240229);
  EXPECT_EQ(host().time_to_number(now), 93105250);
  EXPECT_EQ(util::add_days(20240229, 1), 20240301);
  EXPECT_EQ(util::weekday(20240603), 0);
  EXPECT_THROW(util::parse_timestamp("2024-02-30 10:00:00"), std::invalid_argument);
}

// Every task's outcome comes back to the parent in submission order, the
// run's flag crosses processes, and a worker that dies (killed, or a task
// that throws past its own handling) is counted as died, never as done.
TEST(ProcessPool, OutcomesAndTheFlagCrossProcessesAndDeadWorkersDoNotHang) {
  TempDir dir;
  auto run = [&](std::function<void(int)> task, int n, std::string& statuses) {
    const auto flag = host().make_flag(true);
    const auto pool = host().open_pool(2, *flag, [&](const tessal_plus::bundle::PoolTask& t) {
      task(std::stoi(t.order_book_id));
      return tessal_plus::bundle::TaskOutcome{t.order_book_id, tessal_plus::bundle::TaskStatus::written, "", ""};
    });
    for (int i = 0; i < n; ++i) pool->submit(tessal_plus::bundle::PoolTask{tessal_plus::bundle::Store::minute, std::to_string(i), "", false});
    statuses.clear();
    for (const auto& o : pool->shutdown()) statuses += std::string(tessal_plus::bundle::status_name(o.status)).substr(0, 1);
    return flag->value();
  };
  auto mark = [&](int i) { write_file(dir / std::to_string(i), "done"); };
  std::string statuses;
  EXPECT_TRUE(run(mark, 5, statuses));
  EXPECT_EQ(statuses, "wwwww");
  // A writer that clears the flag in its worker makes the run fail.
  EXPECT_FALSE(run([&](int i) {
    mark(i);
    if (i == 2) host().sval().clear();
  }, 5, statuses));
  EXPECT_TRUE(run([&](int i) {
    if (i == 1) throw std::runtime_error("boom");
    mark(i);
  }, 4, statuses) == false && statuses == "wdww") << statuses;
  // A worker killed mid-task: the run ends, fails, and the rest is done.
  fs::remove_all(dir.path());
  fs::create_directories(dir.path());
  EXPECT_FALSE(run([&](int i) {
    if (i == 3) ::kill(::getpid(), SIGKILL);
    mark(i);
  }, 8, statuses));
  EXPECT_EQ(statuses, "wwwdwwww");
  for (int i = 0; i < 8; ++i) EXPECT_EQ(fs::exists(dir / std::to_string(i)), i != 3) << i;
}

// A client whose on_worker_start() notes the process it runs in.
class ReconnectingService : public FakeService {
 public:
  std::string notes;
  void on_worker_start() override {
    const std::string line = std::to_string(::getpid()) + "\n";
    const int fd = ::open(notes.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0644);
    [[maybe_unused]] auto n = ::write(fd, line.data(), line.size());
    ::close(fd);
  }
};

TEST(ProcessPool, TheClientsHookRunsOnceInEachWorker) {
  TempDir dir;
  PinClock clock("2024-06-05 18:00:00");
  auto svc = std::make_shared<ReconnectingService>();
  svc->notes = dir / "hook";
  svc->calendar = weekdays(20240101, 20241231);
  for (const char* id : {"A", "B", "C", "D", "E"}) {
    svc->add_instrument(id, "CS");
    svc->add_equity_bars(id, {20240604});
  }
  const WithClient in_use(*svc);
  {
    CaptureStdout quiet;
    EXPECT_TRUE(tessal_plus::bundle::update_minbar(test_run(), dir / "h5", {"A", "B", "C", "D", "E"}, false, 2).succeeded);
  }
  std::istringstream in(read_file(dir / "hook"));
  std::vector<std::string> pids{std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
  ASSERT_EQ(pids.size(), 2u);  // two workers, once each
  EXPECT_NE(pids[0], pids[1]);
  for (const auto& p : pids) EXPECT_NE(p, std::to_string(::getpid()));
}

}  // namespace
