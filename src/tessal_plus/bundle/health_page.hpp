#pragma once
// The bundle's health page: one self-contained HTML file (inline CSS and
// SVG, no script, nothing fetched) that can be opened offline or attached
// to a mail. It shows the figures of `status`, a map of which trading days
// each file holds by month, the stale, unreadable and locked files, and,
// given the JSON document of a check run, the files that check found broken
// or held.
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tessal_plus/bundle/quality.hpp"
#include "tessal_plus/bundle/status.hpp"

namespace tessal_plus::bundle {

// A check's verdict on one file, from the `outcomes` of its JSON document:
// files that are not good, or hold content findings, or were healed.
struct CheckMark {
  std::string id, path;
  std::string outcome;  // "good", "broken", "locked" or "not_checked"
  std::string kind;     // the error kind of a held file
  struct Found {
    Rule rule = Rule::non_finite;
    std::int64_t first = 0;  // YYYYMMDDHHMMSS (bars) or YYYYMMDDHHMMSSmmm (ticks)
    std::uint64_t count = 0;
  };
  std::vector<Found> findings;
  std::string heal;          // "healed", "source", "failed" or empty
  std::string heal_message;  // why healing failed
};

struct CheckMarks {
  std::string source;   // the document's path
  std::string command;  // check-minbar or check-tick
  std::size_t files = 0;
  std::vector<CheckMark> marks;
};

struct HealthInputs {
  std::map<std::string, InstrumentLife> lives;  // by order_book_id
  // Suspension days by order_book_id (suspended_days.h5): not expected of a
  // stock's files.
  std::map<std::string, std::vector<std::int32_t>> suspended;
  std::string lives_note;  // why the instrument list was not used, if it was not
  std::optional<CheckMarks> check;
  std::string made_at;  // when the page was made, as the reader should see it
  // Above this many files in one store, the map shows one row of mean
  // shares for the store and the worst files in a folded list.
  std::size_t detail_limit = 200;
  std::size_t worst_shown = 50;
};

// The instrument lives the status read from <bundle>/instruments.pk. A list
// that is absent or cannot be read gives no lives, and a note: the whole
// calendar then counts for every file.
void read_instrument_lives(const BundleStatus& status, HealthInputs& inputs);
// The suspension days of <bundle>/suspended_days.h5 for the ids the status
// holds; absent or unreadable, none (the note says why).
void read_suspensions(const BundleStatus& status, HealthInputs& inputs);

// The broken and held files of a check's JSON document (check-minbar --json
// or check-tick --json). Throws util::Error (invalid_input) naming the file
// when it cannot be read or is not such a document.
CheckMarks read_check_marks(const std::string& path);

// The page. `status` must have been read with its days (bundle_status(...,
// true)); every text from the bundle or the check document is escaped.
std::string health_page(tessal::Host& host, const BundleStatus& status, const HealthInputs& inputs);

}  // namespace tessal_plus::bundle
