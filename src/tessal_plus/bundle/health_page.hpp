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
#include <set>
#include <string>
#include <vector>

#include "tessal_plus/bundle/quality.hpp"
#include "tessal_plus/bundle/status.hpp"

namespace tessal_plus::bundle {

// What the page shows of a check document, whatever the document holds:
// a page stays small enough to mail however large the document is (1.4 MB
// for a store of 5,000 files with 21 findings in every one).
inline constexpr std::size_t kFindingsShown = 20;  // per file, then "and N more"
inline constexpr std::size_t kFilesListed = 1000;  // per list of the check's section, then "and N more"
inline constexpr std::size_t kTextKept = 4096;     // bytes of one text of the document (an id, a path, a message)

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
  // The first kFindingsShown findings the document lists for the file, how
  // many it lists in all, and the earliest `first` among all of them.
  std::vector<Found> findings;
  std::uint64_t findings_total = 0;
  std::optional<std::int64_t> earliest;
  std::string heal;          // "healed", "source", "failed" or empty
  std::string heal_message;  // why healing failed
};

struct CheckMarks {
  std::string source;   // the document's path
  std::string command;  // check-minbar or check-tick
  std::size_t files = 0;
  // How many files the document lists by outcome, with content findings and
  // healed: `marks` may hold fewer (see read_check_marks).
  std::size_t broken = 0, held = 0, not_checked = 0, with_findings = 0, healed = 0;
  std::vector<CheckMark> marks;  // in the document's order
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
// or check-tick --json), read event by event (no tree of the document is
// built; nesting deeper than such a document has is refused at once), each
// text cut to kTextKept bytes. The marks of the files in `keep` (the
// bundle's files) are kept, and of the others only as many as the page's
// lists show: memory follows the bundle, not the document. Nothing in
// `keep`: every mark is kept. `path` names the document in errors; throws
// util::Error (invalid_input) when it is not such a document.
CheckMarks read_check_marks_text(const std::string& text, const std::string& path, const std::set<std::string>* keep = nullptr);
// The document's bytes, from a regular file of at most util::kDocumentCap
// bytes: read_small_file's errors (a FIFO or a device is refused unread, at
// once, and so is a file past the cap).
std::string read_check_document(const std::string& path);
// Both, keeping every mark.
CheckMarks read_check_marks(const std::string& path);
// The ids of the files a status holds, for read_check_marks_text.
std::set<std::string> file_ids(const BundleStatus& status);

// The page. `status` must have been read with its days (bundle_status(...,
// true)); every text from the bundle or the check document is escaped, and
// bytes that are not UTF-8 (a file's name) are shown as U+FFFD, as the
// command line's JSON shows them: the page is valid UTF-8.
std::string health_page(tessal::Host& host, const BundleStatus& status, const HealthInputs& inputs);

}  // namespace tessal_plus::bundle
